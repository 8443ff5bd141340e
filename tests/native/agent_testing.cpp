#include <nanobind/nanobind.h>

NB_MODULE(_agent_testing, m) { (void)m; }
