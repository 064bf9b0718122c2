#include "tavlo/worker/circuits.hpp"

#include "tavlo/base/text.hpp"

namespace tavlo {

std::vector<std::string> names_of(const std::vector<KeptCircuit>& circuits) {
    std::vector<std::string> names;
    for (const KeptCircuit& c : circuits) names.push_back(c.name);
    return names;
}

CircuitListing parse_circuit_listing(const std::vector<std::string>& lines) {
    // "List of circuits loaded:", then one line a circuit: ["Current"] <tab> number <tab> name.
    CircuitListing out;
    for (const std::string& line : lines) {
        std::string_view text = line;
        if (!text.starts_with("stdout ")) continue;
        text.remove_prefix(7);
        bool current = false;
        if (text.starts_with("Current")) {
            current = true;
            text.remove_prefix(7);
        }
        while (!text.empty() && (text.front() == '\t' || text.front() == ' ')) text.remove_prefix(1);
        std::size_t digits = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
        if (digits == 0 || digits >= text.size() || text[digits] != '\t') continue;
        if (current) out.current = out.names.size();
        out.names.emplace_back(text.substr(digits + 1));
    }
    return out;
}

}  // namespace tavlo
