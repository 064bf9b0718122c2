#include "bindings.hpp"
#include "tavlo/worker/loop.hpp"

namespace tavlo::py {

void register_worker(nb::module_& m) {
    m.def(
        "_run_worker",
        [] {
            Status status = ok_status();
            {
                // The loop touches no Python object: it reads and writes file descriptors only.
                nb::gil_scoped_release release;
                status = run_worker();
            }
            if (!status) raise_error(status.error());
        },
        nb::sig("def _run_worker() -> None"),
        "Internal function — runs the ngspice worker loop.\n"
        "\n"
        "Called by the ``ngspice-worker`` console-script entry point installed alongside the\n"
        "Python package. User code should use :class:`SimulationPool` instead.");
}

}  // namespace tavlo::py
