#include "bindings/dicom/bindings.h"

namespace zanthe::bindings {

void bind_attributes(nanobind::module_&) {}

}  // namespace zanthe::bindings
