#include <nanobind/nanobind.h>

NB_MODULE(_hl7_testing, m) { (void)m; }
