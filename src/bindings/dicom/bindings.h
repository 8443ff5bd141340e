// zanthe._dicom is made of three parts, each binding one side of the DICOM engines.
#pragma once

#include <nanobind/nanobind.h>

namespace zanthe::bindings {

void bind_pixels(nanobind::module_& module);      // stored values of a frame (buffer protocol)
void bind_render(nanobind::module_& module);      // the display pipeline to PNG
void bind_attributes(nanobind::module_& module);  // the header as the DICOM JSON model

}  // namespace zanthe::bindings
