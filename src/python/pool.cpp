#include "bindings.hpp"

namespace tavlo::py {
void register_pool(nb::module_&) {}
}  // namespace tavlo::py
