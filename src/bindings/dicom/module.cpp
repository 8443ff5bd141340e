// zanthe._dicom: pixels, rendering and attributes of DICOM files.
#include "bindings/dicom/bindings.h"

NB_MODULE(_dicom, m) {
  zanthe::bindings::bind_pixels(m);
  zanthe::bindings::bind_render(m);
  zanthe::bindings::bind_attributes(m);
}
