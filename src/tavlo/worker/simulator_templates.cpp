// Several parsed circuits in one ngspice 39. Two facts of its front end shape this file:
// - `reset` and `mc_source` re-read a deck with parameter tables sized by the line count of the
//   last deck ngspice read; a longer deck fails ("unknown subckt"). So after every template a
//   guard circuit is parsed, padded with comment lines beyond every template.
// - A circuit made by `reset` or `mc_source` shares ngspice's last deck, and removing a circuit
//   with a deck of its own frees that shared one (and clears it from every circuit holding it).
//   The guard's deck is the one the run copies share, so no template's deck is ever freed with
//   them; after any other removal the guard is parsed again before the next copy is made.
// A request's parameters are set on the template's own deck, and it runs on a fresh copy that
// is removed afterwards: no alter, option or save of one request reaches the next.

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "tavlo/base/text.hpp"
#include "tavlo/worker/simulator.hpp"

namespace tavlo {

namespace {

const char* const kGuardTitle = "tavlo worker guard circuit";

// What the kept templates' parses may add: the worker's own bound, or less when the pool would
// replace the worker sooner.
std::uint64_t template_budget() {
    static const std::uint64_t budget = [] {
        const char* given = std::getenv(kKeepBytesVariable);
        std::uint64_t bytes = 0;
        if (!given || std::from_chars(given, given + std::strlen(given), bytes).ec != std::errc{})
            return kTemplateBytes;
        return std::min(bytes, kTemplateBytes);
    }();
    return budget;
}

}  // namespace

std::uint64_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t size = 0, resident = 0;
    if (!(statm >> size >> resident)) return 0;
    return resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

bool Simulator::make_run_copy(std::size_t i, const SimulationRequest& request, SimulationResponse& answer) {
    const std::uint64_t id = circuits_[i].id;
    if (guard_stale_ && !refresh_guard()) {
        drop_all_circuits();
        return refuse(answer, "ngspice could not keep the circuit");
    }
    i = *index_of(id);
    if (!select_circuit(i)) {
        drop_all_circuits();
        return refuse(answer, "ngspice did not select the kept circuit");
    }
    if (!set_params(i, request, answer)) return false;
    int rc = command("mc_source");
    if (rc != 0) return refuse(answer, "mc_source failed with code " + std::to_string(rc));
    // The copy is new, current and first; the kept ones follow unchanged.
    CircuitListing listing = list_circuits();
    const std::vector<std::string> kept = names_of(circuits_);
    if (listing.current != 0 || listing.names.size() != kept.size() + 1 ||
        trim(std::string_view(listing.names[0])) != trim(std::string_view(circuits_[i].name)) ||
        !std::equal(kept.begin(), kept.end(), listing.names.begin() + 1))
        return refuse(answer, "ngspice made no copy of the kept circuit");
    run_copy_ = true;
    return finish_load(answer);
}

bool Simulator::remove_run_copy() {
    run_copy_ = false;
    std::vector<std::string> printed = quiet_command("setcirc 1");
    if (printed.size() != 1) return false;
    quiet_command("remcirc");  // its deck is the guard's: nothing kept is freed with it
    return true;
}

bool Simulator::refresh_guard() {
    std::size_t lines = 0;
    for (const KeptCircuit& c : circuits_)
        if (c.role == CircuitRole::template_deck) lines = std::max(lines, c.lines);
    // Twice the count and more: ngspice adds a few lines of its own to some decks.
    std::string text = std::string(kGuardTitle) + "\n";
    text.reserve(text.size() + 4 * lines + 256);
    for (std::size_t n = 0; n < 2 * lines + 64; ++n) text += "*\n";
    text += "Rguard guard 0 1\n.end\n";

    std::optional<std::size_t> old;
    for (std::size_t i = 0; i < circuits_.size(); ++i)
        if (circuits_[i].role == CircuitRole::guard) old = i;
    // What ngspice prints while parsing the worker's own circuit is not the request's.
    bool parsed = false;
    quietly([&] {
        SimulationResponse ignored;
        parsed = parse(text, ignored, {});
    });
    if (!parsed) return false;
    circuits_.front().role = CircuitRole::guard;
    if (old) remove_circuit(*old + 1);  // its deck is either freed already or ngspice's last one
    guard_stale_ = false;
    return true;
}

void Simulator::evict_templates(std::uint64_t keep) {
    for (;;) {
        std::size_t count = 0;
        std::uint64_t bytes = 0;
        std::optional<std::size_t> oldest;
        for (std::size_t i = 0; i < circuits_.size(); ++i) {
            const KeptCircuit& c = circuits_[i];
            if (c.role != CircuitRole::template_deck) continue;
            ++count;
            bytes += c.bytes;
            if (c.id != keep && (!oldest || c.last_used < circuits_[*oldest].last_used)) oldest = i;
        }
        if (!oldest || (count <= kMaxTemplates && bytes <= template_budget())) return;
        remove_circuit(*oldest);
    }
}

}  // namespace tavlo
