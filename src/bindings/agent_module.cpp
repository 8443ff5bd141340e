#include <nanobind/nanobind.h>

NB_MODULE(_agent, m) { (void)m; }
