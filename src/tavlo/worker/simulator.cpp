#include "tavlo/worker/simulator.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <chrono>

#include "tavlo/base/text.hpp"

namespace tavlo {

namespace {

// ngspice runs a command in its background thread exactly when it starts with "bg_",
// except for these two, which control that thread.
bool launches_background_thread(std::string_view command) {
    return starts_with_ci(command, "bg_") && !equals_ignore_ascii_case(command, "bg_halt") &&
           !equals_ignore_ascii_case(command, "bg_pstop");
}

// Every so many requests the command history is dropped: each ngSpice_Command keeps a copy.
constexpr std::uint64_t kForgetHistoryEvery = 64;

}  // namespace

VectorData extract_vector_data(const vector_info& info, std::string name) {
    VectorData v;
    v.is_scale = is_scale_name(name);
    v.name = std::move(name);
    auto n = static_cast<std::size_t>(std::max(info.v_length, 0));
    if (info.v_compdata) {
        auto& pairs = v.complex.emplace();
        pairs.reserve(n);
        v.real.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            pairs.emplace_back(info.v_compdata[i].cx_real, info.v_compdata[i].cx_imag);
            v.real.push_back(info.v_compdata[i].cx_real);
        }
    } else if (info.v_realdata) {
        v.real.assign(info.v_realdata, info.v_realdata + n);
    }
    return v;
}

bool netlist_has_end(std::string_view netlist) {
    std::string_view t = trim_end(netlist);
    std::size_t nl = t.rfind('\n');
    std::string_view last = nl == std::string_view::npos ? t : t.substr(nl + 1);
    return equals_ignore_ascii_case(trim(last), ".end");
}

std::vector<std::string> netlist_lines(std::string_view netlist) {
    std::string_view t = trim_end(netlist);
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        std::size_t nl = t.find('\n', start);
        std::string_view l = t.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
        if (l.ends_with('\r')) l.remove_suffix(1);
        std::string& line = lines.emplace_back(l);
        std::replace(line.begin(), line.end(), '\0', ' ');
        if (nl == std::string_view::npos) break;
        start = nl + 1;
    }
    return lines;
}

bool runs_any(const std::vector<std::string>& commands, std::initializer_list<std::string_view> words) {
    return std::any_of(commands.begin(), commands.end(), [&](const std::string& c) {
        std::string_view word = first_token(trim_start(c));
        return std::any_of(words.begin(), words.end(),
                           [&](std::string_view w) { return equals_ignore_ascii_case(word, w); });
    });
}

Simulator::Simulator(Ngspice ng, std::unique_ptr<SimState> state) : state_(std::move(state)), ng_(std::move(ng)) {}

Result<std::unique_ptr<Simulator>> Simulator::start(const std::optional<std::string>& library) {
    Result<Ngspice> ng = Ngspice::load(library);
    if (!ng) return ng.error();
    auto state = std::make_unique<SimState>();
    int r = ng->init(send_char, send_stat, controlled_exit, nullptr, send_init_data, bg_thread_running, state.get());
    if (r != 0) return NgspiceError::init_failed("ngSpice_Init returned " + std::to_string(r));
    std::unique_ptr<Simulator> sim(new Simulator(std::move(*ng), std::move(state)));
    sim->apply_worker_settings();
    return sim;
}

void Simulator::apply_worker_settings() {
    // Debian's ngspice evaluates BSIM devices on two OpenMP threads; side-by-side workers then
    // slow each other down many times over. The pool's processes are the parallelism.
    command("set num_threads=1");
    // ngspice's BSIM3/BSIM4 parameter check remembers, process-wide, the last model name it
    // checked and skips a model of that name; the clamps it applies (A2 > 1 made 1, ...) then
    // hold only for the first analysis of that name in the process, and an answer would depend
    // on what the worker ran before. Without the check every analysis sees the card as written,
    // as every later analysis of ngspice itself does (sky130's own spinit sets this too).
    command("set ng_nomodcheck");
}

Simulator::~Simulator() {
    if (exit_requested()) {
        ng_.leak();
        return;
    }
    wait_for_background_idle();
}

bool Simulator::exit_requested() {
    std::lock_guard lock(state_->mutex);
    return state_->exit_requested;
}

int Simulator::command(const std::string& text) {
    std::string copy = text;  // ngspice takes a mutable string
    return ng_.command(copy.data());
}

void Simulator::wait_for_background_idle() {
    std::unique_lock lock(state_->mutex);
    state_->bg_changed.wait(lock, [&] { return state_->bg_exited >= state_->bg_started; });
}

void Simulator::wait_for_background(std::uint64_t started_before) {
    std::unique_lock lock(state_->mutex);
    // The thread announces itself when it starts; if it never does, don't hang on it.
    if (!state_->bg_changed.wait_for(lock, std::chrono::seconds(5),
                                     [&] { return state_->bg_started > started_before; }))
        return;
    state_->bg_changed.wait(lock, [&] { return state_->bg_exited >= state_->bg_started; });
}

SimulationResponse Simulator::handle(const SimulationRequest& request) {
    SimulationResponse answer;
    answer.id = request.id;
    {
        std::lock_guard lock(state_->mutex);
        state_->reset();
    }
    if (!netlist_has_end(request.netlist)) {
        answer.log = {"netlist must end with .end"};
        answer.error = "netlist does not end with .end";
        return answer;
    }

    if (!load(request, answer)) return answer;

    bool commands_ok = true;
    for (const std::string& given : request.commands) {
        const std::string sent = given.find('\0') == std::string::npos ? given : std::string();
        std::uint64_t started_before;
        {
            std::lock_guard lock(state_->mutex);
            started_before = state_->bg_started;
        }
        int rc = command(sent);
        // Collecting while ngspice's thread still simulates would read half-made vectors.
        if (launches_background_thread(sent)) wait_for_background(started_before);
        std::lock_guard lock(state_->mutex);
        if (rc != 0) {
            std::string message = "command '" + given + "' failed with code " + std::to_string(rc);
            state_->note_error(message);
            state_->log_lines.push_back(std::move(message));
            commands_ok = false;
            break;
        }
        // After an exit request the library is unusable: no further calls into it.
        if (state_->exit_requested) {
            commands_ok = false;
            break;
        }
    }
    if (commands_ok) answer.vectors = collect_vectors(request.return_vectors);

    std::lock_guard lock(state_->mutex);
    answer.success = commands_ok && !state_->had_error;
    // Kept only after a clean request that asked for reuse, and whose own commands did not alter
    // parameters behind the worker's back (those could not be set again by the next request).
    keep_after_request_ =
        request.params && answer.success && !state_->exit_requested &&
        std::none_of(request.commands.begin(), request.commands.end(),
                     [](const std::string& c) { return starts_with_ci(trim_start(c), "alterparam"); });
    // Commands that select, add or remove circuits leave ngspice's list unknown: start afresh.
    drop_all_after_request_ = runs_any(request.commands, {"setcirc", "remcirc", "source", "circbyline"});
    // A request's own set/unset may have changed what every later request relies on.
    settings_touched_ = runs_any(request.commands, {"set", "unset"});
    answer.log = std::move(state_->log_lines);
    state_->log_lines.clear();
    answer.error = state_->first_error;
    answer.measures = parse_measures(answer.log);
    return answer;
}

std::vector<VectorData> Simulator::collect_vectors(const std::optional<std::vector<std::string>>& wanted) {
    auto selected = [&](std::string_view name, std::string_view qualified) {
        if (!wanted) return true;
        return std::any_of(wanted->begin(), wanted->end(), [&](const std::string& w) {
            return equals_ignore_ascii_case(w, name) ||
                   (!qualified.empty() && equals_ignore_ascii_case(w, qualified));
        });
    };
    auto fetch = [&](const std::string& name) {
        std::string copy = name;
        return ng_.get_vec_info(copy.data());  // one static record, overwritten by the next call
    };

    std::vector<std::string> plots;
    for (std::string& p : read_c_string_list(ng_.all_plots()))
        if (!equals_ignore_ascii_case(p, "const") && !p.starts_with("const")) plots.push_back(std::move(p));

    std::vector<VectorData> out;
    if (plots.size() >= 2) {
        for (const std::string& plot : plots) {
            command("setplot " + plot);
            std::string plot_copy = plot;
            for (const std::string& v : read_c_string_list(ng_.all_vecs(plot_copy.data()))) {
                std::string qualified = plot + "." + v;
                if (!selected(v, qualified)) continue;
                if (const vector_info* info = fetch(v)) out.push_back(extract_vector_data(*info, std::move(qualified)));
            }
        }
        return out;
    }

    std::vector<std::string> names;
    {
        std::lock_guard lock(state_->mutex);
        names = state_->init_vector_names;
    }
    for (const std::string& name : names) {
        if (!selected(name, {})) continue;
        if (const vector_info* info = fetch(name)) out.push_back(extract_vector_data(*info, name));
    }
    return out;
}

void Simulator::clean_up() {
    wait_for_background_idle();
    command("destroy all");  // the results go; a kept circuit stays for the next request
    if (drop_all_after_request_ || (run_copy_ && !remove_run_copy())) {
        drop_all_circuits();
    } else {
        reconcile_circuits();
        if (request_circuit_ && !keep_after_request_ && *request_circuit_ < circuits_.size())
            remove_circuit(*request_circuit_);
        // A guard alone keeps nothing.
        if (std::none_of(circuits_.begin(), circuits_.end(),
                         [](const KeptCircuit& c) { return c.role != CircuitRole::guard; }) &&
            !circuits_.empty())
            drop_all_circuits();
    }
    if (settings_touched_) apply_worker_settings();
    request_circuit_.reset();
    keep_after_request_ = drop_all_after_request_ = settings_touched_ = false;
    if (++cleanups_ % kForgetHistoryEvery == 0) ng_.command(nullptr);
}

}  // namespace tavlo
