#include "bindings/dicom/bindings.h"

namespace zanthe::bindings {

void bind_pixels(nanobind::module_&) {}

}  // namespace zanthe::bindings
