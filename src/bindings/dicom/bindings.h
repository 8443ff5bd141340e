// zanthe._dicom is made of three parts, each binding one side of the DICOM engines.
#pragma once

#include <nanobind/nanobind.h>

#include "pixels/pixel_status.h"

namespace zanthe::bindings {

void bind_pixels(nanobind::module_& module);      // stored values of a frame (buffer protocol)
void bind_render(nanobind::module_& module);      // the display pipeline to PNG
void bind_attributes(nanobind::module_& module);  // the header as the DICOM JSON model

// Raises a pixel engine failure: NotDicomError and UnsupportedTransferSyntaxError (zanthe._fhir's
// classes), else _dicom.PixelDataError; the message is "dicom.pixels: " and the detail.
[[noreturn]] void raise_pixel_status(const zanthe::pixels::PixelStatus& status);

}  // namespace zanthe::bindings
