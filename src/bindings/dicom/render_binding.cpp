#include "bindings/dicom/bindings.h"

namespace zanthe::bindings {

void bind_render(nanobind::module_&) {}

}  // namespace zanthe::bindings
