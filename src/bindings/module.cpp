#include "bindings.hpp"

NB_MODULE(tavlo, m) {
    m.doc() =
        "tavlo native core: the Python extension's entry point.\n"
        "\n"
        "Exposes:\n"
        "  - `SimulationPool`  — async worker pool, synchronous Python API\n"
        "  - `LutConfig`       — transistor characterisation configuration\n"
        "  - `TransistorLut`   — output LUT with numpy-array accessors\n"
        "  - `SimulationResult` — raw simulation output\n"
        "  - `_run_worker()`   — internal: runs the ngspice worker loop (called by\n"
        "                        the `ngspice-worker` entry-point script)\n";
    using namespace tavlo::py;
    register_pool(m);
    register_lut_config(m);
    register_transistor_lut(m);
    register_result(m);
    register_design(m);
    register_worker(m);
    register_characterise(m);
}
