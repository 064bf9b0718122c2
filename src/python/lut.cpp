#include "bindings.hpp"

namespace tavlo::py {
void register_lut_config(nb::module_&) {}
void register_transistor_lut(nb::module_&) {}
}  // namespace tavlo::py
