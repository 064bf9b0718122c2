#include "tavlo/protocol/json_read.hpp"
#include "tavlo/protocol/protocol.hpp"

namespace tavlo {

using namespace json_read;

bool is_scale_name(std::string_view name) {
    return equals_ignore_ascii_case(name, "time") || equals_ignore_ascii_case(name, "frequency") ||
           equals_ignore_ascii_case(name, "v-sweep");
}

WireVecMeta meta_of(const VectorData& v) { return {v.name, v.real.size(), v.is_scale, v.complex.has_value()}; }

std::string encode_request_line(const SimulationRequest& r) {
    ordered_json j;
    j["id"] = r.id;
    j["netlist"] = r.netlist;
    j["commands"] = r.commands;
    if (r.return_vectors) j["return_vectors"] = *r.return_vectors;
    if (r.params) {
        ordered_json params = ordered_json::object();
        for (const auto& [name, value] : *r.params) params[name] = value;
        j["params"] = std::move(params);
    }
    std::string line = dump(j);
    line.push_back('\n');
    return line;
}

Result<SimulationRequest> decode_request(std::string_view text) {
    Result<json> parsed = parse_strict(text);
    Result<const json*> obj = as_object(parsed);
    if (!obj) return obj.error();
    Fields f{**obj, "", ""};
    SimulationRequest r;
    bool ok = f.string("id", r.id) && f.string("netlist", r.netlist) && f.strings("commands", r.commands);
    if (ok) {
        auto it = (*obj)->find("return_vectors");
        if (it != (*obj)->end() && !it->is_null()) {
            r.return_vectors.emplace();
            ok = f.strings("return_vectors", *it, *r.return_vectors);
        }
    }
    if (ok) {
        auto it = (*obj)->find("params");
        if (it != (*obj)->end() && !it->is_null()) {
            if (!it->is_object()) {
                ok = f.mismatch("params", "an object of numbers", *it);
            } else {
                r.params.emplace();
                for (const auto& [name, value] : it->items()) {
                    if (!value.is_number()) {
                        ok = f.mismatch("params", "an object of numbers", value);
                        break;
                    }
                    r.params->emplace_back(name, value.get<double>());
                }
            }
        }
    }
    if (!ok) return NgspiceError::serialization(f.fault);
    return r;
}

}  // namespace tavlo
