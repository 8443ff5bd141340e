#include <nanobind/nanobind.h>

NB_MODULE(_dicom_testing, m) { (void)m; }
