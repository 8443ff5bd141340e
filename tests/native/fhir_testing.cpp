#include <nanobind/nanobind.h>

NB_MODULE(_fhir_testing, m) { (void)m; }
