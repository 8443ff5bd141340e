#include <nanobind/nanobind.h>

NB_MODULE(_fhir, m) { (void)m; }
