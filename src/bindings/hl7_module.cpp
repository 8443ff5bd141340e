#include <nanobind/nanobind.h>

NB_MODULE(_hl7, m) { (void)m; }
