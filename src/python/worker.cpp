#include "bindings.hpp"

namespace tavlo::py {
void register_worker(nb::module_&) {}
}  // namespace tavlo::py
