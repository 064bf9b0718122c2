#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <stdexcept>

#include "bindings.hpp"
#include "result.hpp"
#include "tavlo/characterise/generate.hpp"
#include "tavlo/lut/sweep.hpp"
#include "tavlo/pool/runtime.hpp"
#include "tavlo/worker/deck_files.hpp"

namespace tavlo::py {

using namespace nb::literals;

namespace {

std::atomic<std::uint64_t> SIM_COUNTER{0};

constexpr std::uint64_t kDefaultMaxRequests = 10000;
constexpr std::uint64_t kDefaultMaxGrowth = std::uint64_t{256} << 20;

struct PySimulationPool {
    std::unique_ptr<PoolRuntime> rt;

    ~PySimulationPool() { close(); }

    /// Called with the interpreter lock held; releases it while waiting, so that other threads'
    /// calls can finish (at interpreter exit too, before finalisation would end those threads).
    void close() {
        nb::gil_scoped_release release;  // nothing below touches a Python object
        rt->close();
    }
};

// Calls in flight in any pool, with the interpreter lock held.
int g_calls = 0;

/// One call's hold on the pool; taken with the interpreter lock held.
class Hold {
public:
    explicit Hold(PySimulationPool& p) : call_(*p.rt) {
        switch (call_.access()) {
            case PoolRuntime::Access::Open: ++g_calls; return;
            case PoolRuntime::Access::Closed:
                throw std::runtime_error("this SimulationPool is closed; create a new one");
            case PoolRuntime::Access::Foreign:
                throw std::runtime_error(
                    "this SimulationPool belongs to the process this one was forked from; create a new one here");
        }
    }

    ~Hold() {
        if (call_.access() == PoolRuntime::Access::Open) --g_calls;
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    PoolRuntime::Call call_;
};

std::vector<std::pair<std::string, double>> params_arg(nb::handle h) {
    if (!PyDict_Check(h.ptr())) arg_type_error("params", "expected a dict of str to float, got " + type_name_of(h));
    std::vector<std::pair<std::string, double>> out;
    for (auto [key, value] : nb::borrow<nb::dict>(h)) {
        std::string name = str_arg(key, "params");
        const double v = float_arg(value, "params");
        // ngspice cannot take it, and the worker would answer out of step.
        if (!std::isfinite(v))
            throw nb::value_error(("argument 'params': the value of '" + name + "' must be a finite number, got " +
                                   nb::str(value).c_str())
                                      .c_str());
        out.emplace_back(std::move(name), v);
    }
    return out;
}

std::vector<std::string> to_str_list(nb::handle h, const char* arg) {
    // A str is a sequence too, but of characters: almost certainly a mistake.
    if (PyUnicode_Check(h.ptr()) || !PySequence_Check(h.ptr()))
        arg_type_error(arg, "expected a sequence of str, got " + type_name_of(h));
    std::vector<std::string> out;
    for (nb::handle item : nb::cast<nb::sequence>(h)) {
        if (!PyUnicode_Check(item.ptr()))
            arg_type_error(arg, "every element must be str, got " + type_name_of(item));
        out.push_back(str_arg(item, arg));
    }
    return out;
}

std::chrono::nanoseconds to_duration(double secs) {
    if (secs < 0) throw nb::value_error("cannot convert float seconds to Duration: value is negative");
    double ns = secs * 1e9;
    if (std::isnan(ns) || ns >= 9.2233720368547758e18)
        throw nb::value_error("cannot convert float seconds to Duration: value is either too big or NaN");
    // A zero time-out would fail every request before its answer could arrive.
    if (ns < 1e6) throw nb::value_error("timeout_secs must be at least 0.001 seconds");
    return std::chrono::nanoseconds(static_cast<std::int64_t>(ns));
}

/// A thread that takes the interpreter lock while the interpreter finalises is ended from inside
/// that call, which C++ cannot unwind through; such a thread (a daemon thread still waiting when
/// the program exits) stays parked instead, until the process ends.
void park_if_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    const bool finalizing = Py_IsFinalizing();
#else
    const bool finalizing = _Py_IsFinalizing();
#endif
    if (!finalizing) return;
    for (;;) ::pause();
}

/// The pool's fault lines (crash, time-out, respawn) to the "tavlo" logger, from a thread that
/// holds the interpreter lock: after each call, and when a pool closes.
void forward_fault_lines() {
    std::vector<std::string> lines = take_fault_lines();
    if (lines.empty()) return;
    nb::object logger = nb::module_::import_("logging").attr("getLogger")("tavlo");
    for (const std::string& line : lines) logger.attr("warning")(line);
}

/// Hands a call's completed-job count to a Python callable(done, total) whenever it changes.
class JobReporter {
public:
    JobReporter(nb::handle callback, const CallState& call) : callback_(callback), call_(call) {}
    /// With the interpreter lock held; false when the callable raised (the error is set).
    bool report() {
        if (!callback_.is_valid() || callback_.is_none()) return true;
        const std::size_t done = call_.jobs_done(), total = call_.jobs_total();
        if (total == 0 || done == shown_) return true;
        shown_ = done;
        try {
            callback_(done, total);
        } catch (nb::python_error& e) {
            e.restore();
            return false;
        }
        return true;
    }

private:
    nb::handle callback_;
    const CallState& call_;
    std::size_t shown_ = 0;
};

/// Asked while a call waits with the interpreter lock released, which it takes briefly: a signal
/// handler (Ctrl-C) or the progress callable raised.
bool interrupted(JobReporter* reporter = nullptr) {
    park_if_finalizing();
    nb::gil_scoped_acquire acquire;
    return PyErr_CheckSignals() != 0 || (reporter && !reporter->report());
}

/// Waits for `work` with the interpreter lock released; Ctrl-C (or an error raised by the
/// progress callable) abandons the call and raises.
template <class T>
T wait_releasing_gil(PySimulationPool& self, asio::awaitable<T> work, CallState& call,
                     nb::handle progress = nb::handle()) {
    std::optional<T> out;
    JobReporter reporter(progress, call);
    {
        nb::gil_scoped_release release;  // the work touches no Python object
        out = self.rt->wait(std::move(work), [&reporter] { return interrupted(&reporter); });
        park_if_finalizing();
    }
    if (!out || !reporter.report()) {
        call.abandon();
        throw nb::python_error();  // KeyboardInterrupt, or whatever the signal handler or callable raised
    }
    return std::move(*out);
}

/// One request, with the interpreter lock released while it runs.
Reply run_releasing_gil(PySimulationPool& self, SimulationRequest request, const std::shared_ptr<CallState>& call) {
    std::optional<Reply> reply;
    {
        nb::gil_scoped_release release;
        reply = self.rt->run(std::move(request), call, [] { return interrupted(); });
        park_if_finalizing();
    }
    if (!reply) throw nb::python_error();  // KeyboardInterrupt, or whatever the signal handler raised
    return std::move(*reply);
}

LutConfig to_core_config(const PyLutConfig& c) {
    if (c.device_type != "nmos" && c.device_type != "pmos")
        throw nb::value_error(("device_type must be 'nmos' or 'pmos', got '" + c.device_type + "'").c_str());
    LutConfig core;
    core.width = c.width;
    core.lengths = c.lengths;
    core.vgs = c.vgs;
    core.vds = c.vds;
    core.vbs = c.vbs;
    core.model_file = c.model_file;
    core.model_section = c.model_section;
    core.model_card = c.model_card;
    core.model_name = c.model_name;
    core.is_pmos = c.device_type == "pmos";
    if (auto fault = validate_config(core)) throw nb::value_error(fault->c_str());
    return core;
}

std::uint32_t to_chunk_count(nb::handle h) {
    if (!PyLong_Check(h.ptr())) arg_type_error("n_chunks", "'" + type_name_of(h) + "' object cannot be interpreted as an integer");
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
    if (overflow != 0 || v < 0 || v > 4294967295LL) {
        PyErr_SetString(PyExc_OverflowError, "argument 'n_chunks': out of range integral type conversion attempted");
        throw nb::python_error();
    }
    if (v == 0) throw nb::value_error("n_chunks must be at least 1, got 0");
    return static_cast<std::uint32_t>(v);
}

}  // namespace

void register_pool(nb::module_& m) {
    keep_fault_lines(true);
    // A call still in flight when the interpreter exits (a daemon thread's) parks its thread with
    // its pool: not a leak worth a report at exit.
    nb::module_::import_("atexit").attr("register")(nb::cpp_function([] {
        if (g_calls > 0) nb::set_leak_warnings(false);
    }));
    nb::class_<PySimulationPool>(
        m, "_SimulationPool",
        "An ngspice worker pool.\n"
        "\n"
        "Manages N worker processes and exposes a synchronous Python API backed by an\n"
        "internal asynchronous runtime. The Python package wraps it in its own\n"
        "``SimulationPool`` class, which adds a ``generate_lut`` that returns a richer table\n"
        "object with plotting and design methods; this native class is exported as\n"
        "``_SimulationPool``.")
        .def(
            "__init__",
            [](PySimulationPool* self, std::optional<std::uint32_t> workers, double timeout_secs,
               std::optional<std::string> worker_exe, std::uint64_t max_requests_per_worker,
               std::uint64_t max_memory_growth, bool log_close) {
                std::uint32_t n = workers ? *workers : available_cores();
                if (n == 0) throw nb::value_error("workers must be at least 1, got 0");
                if (n > kMaxWorkers)
                    throw nb::value_error(("workers must be at most " + std::to_string(kMaxWorkers) + ", got " +
                                           std::to_string(n))
                                              .c_str());
                PoolOptions options{n, to_duration(timeout_secs), std::move(worker_exe),
                                    RecyclePolicy{max_requests_per_worker, max_memory_growth}, log_close};
                Result<std::unique_ptr<PoolRuntime>> rt = PoolRuntime::create(std::move(options));
                if (!rt) raise_error(rt.error());
                new (self) PySimulationPool{std::move(*rt)};
            },
            "workers"_a = nb::none(), "timeout_secs"_a = 120.0, "worker_exe"_a = nb::none(), nb::kw_only(),
            "max_requests_per_worker"_a = kDefaultMaxRequests, "max_memory_growth"_a = kDefaultMaxGrowth,
            "log_close"_a = true,
            nb::sig("def __init__(self, workers: int | None = None, timeout_secs: float = 120.0, "
                    "worker_exe: str | None = None, *, max_requests_per_worker: int = 10000, "
                    "max_memory_growth: int = 268435456, log_close: bool = True) -> None"),
            "Start ``workers`` ngspice worker processes (default: one per core).\n"
            "\n"
            "A worker is replaced, invisibly to callers, after ``max_requests_per_worker`` requests\n"
            "or once its resident memory has grown ``max_memory_growth`` bytes over its size after\n"
            "its first request (ngspice keeps a little memory per failing netlist, and a huge\n"
            "request leaves a large heap behind); 0 turns either rule off. ``log_close=False``\n"
            "keeps a normal close silent; faults are logged either way.")
        .def(
            "close",
            [](PySimulationPool& self) {
                self.close();
                forward_fault_lines();
            },
            "Stop the pool: every worker process ends, busy or not. Safe to call more than once.")
        .def("__repr__",
             [](const PySimulationPool& s) { return "SimulationPool(workers=" + std::to_string(s.rt->workers()) + ")"; })
        .def(
            "run_simulation",
            [](PySimulationPool& self, nb::handle netlist, nb::handle commands, nb::handle id, nb::handle params,
               nb::handle return_vectors) {
                SimulationRequest req;
                req.netlist = str_arg(netlist, "netlist");
                req.commands = to_str_list(commands, "commands");
                req.id = id.is_none() ? "py-" + std::to_string(SIM_COUNTER.fetch_add(1)) : str_arg(id, "id");
                if (!params.is_none()) req.params = params_arg(params);
                // The worker would refuse it too, but only as a failed result: this is the caller's mistake.
                if (req.params)
                    if (auto why = params_refusal(req.netlist)) throw nb::value_error(why->c_str());
                if (!return_vectors.is_none()) req.return_vectors = to_str_list(return_vectors, "return_vectors");
                Hold hold(self);
                auto call = std::make_shared<CallState>();
                Reply reply = run_releasing_gil(self, std::move(req), call);
                forward_fault_lines();
                if (!reply) raise_error(reply.error());
                return PySimulationResult{std::move(*reply)};
            },
            "netlist"_a, "commands"_a, "id"_a = nb::none(), nb::kw_only(), "params"_a = nb::none(),
            "return_vectors"_a = nb::none(),
            nb::sig("def run_simulation(self, netlist: str, commands: collections.abc.Sequence[str], "
                    "id: str | None = None, *, params: collections.abc.Mapping[str, float] | None = None, "
                    "return_vectors: collections.abc.Sequence[str] | None = None) -> SimulationResult"),
            "Run an arbitrary SPICE netlist and return the simulation result.\n"
            "\n"
            "Args:\n"
            "    netlist: Full SPICE netlist string, ending with `.end`.\n"
            "    commands: ngspice commands to run after loading, e.g. ``[\"run\"]``.\n"
            "    id: Optional correlation ID (auto-generated if omitted).\n"
            "    params: Parameter values set with ``alterparam`` before the commands. A request\n"
            "        with params may run on a worker's already parsed copy of the same netlist\n"
            "        (parameters set again, then ``reset``), instead of parsing it again: the way to\n"
            "        loop over one large netlist or model library.\n"
            "    return_vectors: Only these vectors are returned (case-insensitive names).\n"
            "\n"
            "Returns:\n"
            "    :class:`SimulationResult`\n")
        .def(
            "generate_lut",
            [](PySimulationPool& self, nb::handle config, nb::handle n_chunks, nb::handle progress) {
                if (!progress.is_none() && !PyCallable_Check(progress.ptr()))
                    arg_type_error("progress", "expected None or a callable(done, total), got " + type_name_of(progress));
                if (!nb::isinstance<PyLutConfig>(config))
                    arg_type_error("config", "expected LutConfig, got " + type_name_of(config));
                std::optional<std::uint32_t> chunks;
                if (!n_chunks.is_none()) chunks = to_chunk_count(n_chunks);
                LutConfig core = to_core_config(nb::cast<const PyLutConfig&>(config));
                Hold hold(self);
                std::uint32_t k = chunks ? *chunks : default_chunk_count(core, self.rt->workers());
                auto call = std::make_shared<CallState>();
                Result<TransistorLut> lut = wait_releasing_gil(
                    self, generate_lut(self.rt->pool(), std::move(core), k, std::nullopt, call), *call, progress);
                forward_fault_lines();
                if (!lut) raise_error(lut.error());
                return PyTransistorLut{std::move(*lut)};
            },
            "config"_a, "n_chunks"_a = nb::none(), nb::kw_only(), "progress"_a = nb::none(),
            nb::sig("def generate_lut(self, config: LutConfig, n_chunks: int | None = None, *, "
                    "progress: collections.abc.Callable[[int, int], object] | None = None) -> TransistorLut"),
            "Generate a transistor look-up table.\n"
            "\n"
            "Args:\n"
            "    config: :class:`LutConfig` with the device and the sweep ranges.\n"
            "    n_chunks: Number of parallel Vgs chunks. Without it each chunk targets about\n"
            "        50K data points, collapsing to the worker count for small grids and scaling\n"
            "        up for large ones.\n"
            "    progress: Called as ``progress(done, total)`` with the jobs completed so far,\n"
            "        from the calling thread, at most every 100 ms; what it raises ends the call.\n"
            "\n"
            "Returns:\n"
            "    :class:`TransistorLut`\n");
}

}  // namespace tavlo::py
