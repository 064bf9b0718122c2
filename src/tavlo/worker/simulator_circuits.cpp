// The circuits a Simulator keeps: which one serves a request, parsing, and keeping ngspice's own
// list of circuits in step with ours. Measured on ngspice 39: a new circuit goes to the front of
// the list and becomes current; `reset` moves the current one to the front; `remcirc` removes the
// current one and makes the front current; a load that fails adds nothing and either leaves the
// previous circuit current (a later "run" would run it) or leaves a half-made one current that
// is in no list. A kept circuit is therefore selected explicitly, and checked, before use. How
// several are kept despite ngspice's one shared reload deck: simulator_templates.cpp.

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <functional>

#include "tavlo/base/text.hpp"
#include "tavlo/worker/simulator.hpp"

namespace tavlo {

namespace {

// Parameter names as ngspice's .param accepts them; anything else could smuggle in a command.
bool valid_param_name(std::string_view name) {
    if (name.empty() || !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_')) return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

std::string param_value(double v) {
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, v);  // shortest text that reads back exactly
    return std::string(buf, res.ptr);
}

std::string working_directory() {
    std::string buf(4096, '\0');
    if (!getcwd(buf.data(), buf.size())) return {};
    buf.resize(std::char_traits<char>::length(buf.c_str()));
    return buf;
}

}  // namespace

const char* const kReusedCircuit = "reusing the circuit parsed for an earlier request";

std::vector<std::string> Simulator::quietly(const std::function<void()>& work) {
    std::size_t mark;
    bool had_error;
    std::optional<std::string> first_error;
    {
        std::lock_guard lock(state_->mutex);
        mark = state_->log_lines.size();
        had_error = state_->had_error;
        first_error = state_->first_error;
    }
    work();
    std::lock_guard lock(state_->mutex);
    mark = std::min(mark, state_->log_lines.size());
    std::vector<std::string> printed(state_->log_lines.begin() + static_cast<std::ptrdiff_t>(mark),
                                     state_->log_lines.end());
    state_->log_lines.resize(mark);
    state_->had_error = had_error;
    state_->first_error = std::move(first_error);
    return printed;
}

std::vector<std::string> Simulator::quiet_command(const std::string& text) {
    return quietly([&] { command(text); });
}

CircuitListing Simulator::list_circuits() { return parse_circuit_listing(quiet_command("setcirc")); }

bool Simulator::select_circuit(std::size_t i) {
    // ngspice answers a good selection with the circuit's name alone.
    std::vector<std::string> printed = quiet_command("setcirc " + std::to_string(i + 1));
    return printed.size() == 1 && trim(std::string_view(printed[0]).substr(printed[0].starts_with("stdout ") ? 7 : 0)) ==
                                      trim(std::string_view(circuits_[i].name));
}

void Simulator::remove_circuit(std::size_t i) {
    if (!select_circuit(i)) {
        drop_all_circuits();
        return;
    }
    quiet_command("remcirc");
    // Removing a circuit may free ngspice's last deck, which the guard's circuit shares.
    if (circuits_[i].role != CircuitRole::guard) guard_stale_ = true;
    circuits_.erase(circuits_.begin() + static_cast<std::ptrdiff_t>(i));
}

void Simulator::drop_all_circuits() {
    CircuitListing listing = list_circuits();
    // One more than listed: a half-made current circuit is in no list.
    for (std::size_t n = 0; n <= listing.names.size(); ++n) quiet_command("remcirc");
    circuits_.clear();
    run_copy_ = false;
    guard_stale_ = true;
}

void Simulator::reconcile_circuits() {
    CircuitListing listing = list_circuits();
    if (!listing.current) {
        quiet_command("remcirc");  // the half-made circuit of a failed load
        listing = list_circuits();
    }
    if (listing.names != names_of(circuits_)) drop_all_circuits();
}

std::optional<std::size_t> Simulator::find_reusable(const SimulationRequest& request, const std::string& cwd) {
    for (std::size_t i = 0; i < circuits_.size(); ++i) {
        const KeptCircuit& c = circuits_[i];
        if (c.role == CircuitRole::guard || c.netlist != request.netlist || c.cwd != cwd) continue;
        if (!stamps_unchanged(c.files)) {
            remove_circuit(i);  // an include or library file changed: parse it again
            return std::nullopt;
        }
        // It must set again every parameter an earlier request altered on it.
        const bool sets_all = std::all_of(c.altered.begin(), c.altered.end(), [&](const std::string& a) {
            return std::any_of(request.params->begin(), request.params->end(),
                               [&](const auto& p) { return p.first == a; });
        });
        if (!sets_all) {
            remove_circuit(i);
            return std::nullopt;
        }
        if (!select_circuit(i)) {
            drop_all_circuits();
            return std::nullopt;
        }
        return i;
    }
    return std::nullopt;
}

bool Simulator::parse(const std::string& netlist, SimulationResponse& answer, std::vector<FileStamp> files) {
    std::vector<std::string> lines = netlist_lines(netlist);
    std::vector<char*> pointers;
    pointers.reserve(lines.size() + 1);
    for (std::string& l : lines) pointers.push_back(l.data());
    pointers.push_back(nullptr);
    int r = ng_.circ(pointers.data());
    bool exiting;
    {
        std::lock_guard lock(state_->mutex);
        exiting = state_->exit_requested;
        if (r != 0) {
            answer.log = std::move(state_->log_lines);
            answer.error = "ngSpice_Circ failed with code " + std::to_string(r);
            // The code alone says nothing; the reason is in what ngspice printed.
            std::optional<std::string> why = state_->first_error;
            for (auto it = answer.log.rbegin(); !why && it != answer.log.rend(); ++it)
                if (it->starts_with("stderr ")) why = *it;
            if (why) {
                std::string_view text = *why;
                if (text.starts_with("stdout ") || text.starts_with("stderr ")) text.remove_prefix(7);
                if (!trim(text).empty()) *answer.error += ": " + std::string(trim(text));
            }
            return false;
        }
    }
    if (!exiting) {
        CircuitListing listing = list_circuits();
        std::vector<std::string> expected = names_of(circuits_);
        if (listing.names.size() == expected.size() + 1 && listing.current == 0 &&
            std::equal(expected.begin(), expected.end(), listing.names.begin() + 1)) {
            KeptCircuit c;
            c.id = ++next_id_;
            c.netlist = netlist;
            c.files = std::move(files);
            c.name = listing.names.front();
            circuits_.insert(circuits_.begin(), std::move(c));
            request_circuit_ = 0;
            return true;
        }
    }
    // Running the commands now would run whatever circuit ngspice still has current.
    std::lock_guard lock(state_->mutex);
    if (!state_->had_error) state_->note_error("ngspice loaded no circuit from the netlist");
    answer.log = std::move(state_->log_lines);
    answer.error = state_->first_error;
    return false;
}

bool Simulator::load(const SimulationRequest& request, SimulationResponse& answer) {
    auto fail = [&](std::string error) { return refuse(answer, std::move(error)); };
    if (!request.params) {
        if (!circuits_.empty()) drop_all_circuits();
        return parse(request.netlist, answer, {});
    }
    for (const auto& [name, value] : *request.params) {
        if (!valid_param_name(name)) return fail("invalid parameter name '" + name + "'");
        if (!std::isfinite(value)) return fail("parameter '" + name + "' must be finite");
    }
    if (std::optional<std::string> why = params_refusal(request.netlist)) return fail(*why);

    // Commands that reload the deck themselves need it to be ngspice's last one: a single circuit.
    const bool reloads = runs_any(request.commands, {"reset", "mc_source", "alterparam"});
    const std::string cwd = working_directory();
    std::optional<std::size_t> reuse = find_reusable(request, cwd);
    if (reuse && reloads && circuits_[*reuse].role != CircuitRole::single) {
        drop_all_circuits();
        reuse.reset();
    }
    std::uint64_t id;
    if (!reuse) {
        DeckFiles deck = deck_files(request.netlist);
        if (deck.has_control) return fail(kControlWithParams);
        const bool single = reloads || deck.lines > kMaxTemplateLines;
        const bool holds_single = std::any_of(circuits_.begin(), circuits_.end(),
                                              [](const KeptCircuit& c) { return c.role == CircuitRole::single; });
        if (single || holds_single) drop_all_circuits();
        const std::uint64_t before = resident_bytes();
        if (!parse(request.netlist, answer, std::move(deck.files))) return false;
        KeptCircuit& c = circuits_.front();
        c.cwd = cwd;
        c.role = single ? CircuitRole::single : CircuitRole::template_deck;
        c.lines = deck.lines;
        c.bytes = std::max(resident_bytes(), before) - before;
        id = c.id;
        if (!single) {
            guard_stale_ = true;  // ngspice's last deck is now the template's own
            evict_templates(id);
        }
    } else {
        id = circuits_[*reuse].id;
        std::lock_guard lock(state_->mutex);
        state_->log_lines.push_back(kReusedCircuit);
    }
    std::size_t i = *index_of(id);
    circuits_[i].last_used = ++uses_;
    if (circuits_[i].role == CircuitRole::single) return reset_single(i, request, answer);
    return make_run_copy(i, request, answer);
}

bool Simulator::reset_single(std::size_t i, const SimulationRequest& request, SimulationResponse& answer) {
    auto fail = [&](std::string error) { return refuse(answer, std::move(error)); };
    if (!set_params(i, request, answer)) return false;
    // reset re-reads the kept deck with the new values and undoes any earlier alter or option
    // (the netlist's temperature comes back); ngspice moves the circuit to the front.
    int rc = command("reset");
    std::rotate(circuits_.begin(), circuits_.begin() + static_cast<std::ptrdiff_t>(i),
                circuits_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    request_circuit_ = 0;
    if (rc != 0) return fail("reset failed with code " + std::to_string(rc));
    return finish_load(answer);
}

bool Simulator::refuse(SimulationResponse& answer, std::string error) {
    std::lock_guard lock(state_->mutex);
    state_->note_error(error);
    state_->log_lines.push_back(error);
    answer.log = std::move(state_->log_lines);
    answer.error = state_->first_error;
    return false;
}

bool Simulator::finish_load(SimulationResponse& answer) {
    std::lock_guard lock(state_->mutex);
    if (!state_->had_error) return true;
    answer.log = std::move(state_->log_lines);
    answer.error = state_->first_error;
    return false;
}

bool Simulator::set_params(std::size_t i, const SimulationRequest& request, SimulationResponse& answer) {
    request_circuit_ = i;  // from here a failure must not leave the circuit kept
    KeptCircuit& circuit = circuits_[i];
    for (const auto& [name, value] : *request.params) {
        int rc = command("alterparam " + name + "=" + param_value(value));
        if (rc != 0) return refuse(answer, "alterparam " + name + " failed with code " + std::to_string(rc));
        if (std::find(circuit.altered.begin(), circuit.altered.end(), name) == circuit.altered.end())
            circuit.altered.push_back(name);
    }
    return true;
}

std::optional<std::size_t> Simulator::index_of(std::uint64_t id) const {
    for (std::size_t i = 0; i < circuits_.size(); ++i)
        if (circuits_[i].id == id) return i;
    return std::nullopt;
}

}  // namespace tavlo
