#include "bindings.hpp"

namespace tavlo::py {
void register_result(nb::module_&) {}
}  // namespace tavlo::py
