#include "tavlo/protocol/protocol.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>

namespace tavlo {

using json = nlohmann::json;
using ordered_json = nlohmann::ordered_json;

namespace {

// Builds a DOM like nlohmann's own parser, but refuses a key given twice in one object,
// which the stock parser silently overwrites.
class StrictSax {
public:
    json root;
    std::string error;

    bool null() { return put(json(nullptr)); }
    bool boolean(bool v) { return put(json(v)); }
    bool number_integer(json::number_integer_t v) { return put(json(v)); }
    bool number_unsigned(json::number_unsigned_t v) { return put(json(v)); }
    bool number_float(json::number_float_t v, const std::string&) { return put(json(v)); }
    bool string(json::string_t& v) { return put(json(std::move(v))); }
    bool binary(json::binary_t&) { return put(json(nullptr)); }
    bool start_object(std::size_t) { return open(json::object()); }
    bool start_array(std::size_t) { return open(json::array()); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool key(json::string_t& k) {
        json& obj = *stack_.back();
        if (obj.contains(k)) {
            error = "duplicate field `" + k + "`";
            return false;
        }
        pending_key_ = &obj[k];
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) {
        error = ex.what();
        return false;
    }

private:
    json* slot() {
        if (stack_.empty()) return &root;
        json& top = *stack_.back();
        if (top.is_array()) {
            top.push_back(nullptr);
            return &top.back();
        }
        json* s = pending_key_;
        pending_key_ = nullptr;
        return s;
    }
    bool put(json v) {
        *slot() = std::move(v);
        return true;
    }
    bool open(json v) {
        json* s = slot();
        *s = std::move(v);
        stack_.push_back(s);
        return true;
    }
    bool close() {
        stack_.pop_back();
        return true;
    }
    std::vector<json*> stack_;
    json* pending_key_ = nullptr;
};

Result<json> parse_strict(std::string_view text) {
    StrictSax sax;
    bool ok = json::sax_parse(text.begin(), text.end(), &sax, json::input_format_t::json, true);
    if (!ok) return NgspiceError::serialization(sax.error.empty() ? "invalid JSON" : sax.error);
    return std::move(sax.root);
}

const char* type_word(const json& v) {
    switch (v.type()) {
        case json::value_t::null: return "null";
        case json::value_t::boolean: return "a boolean";
        case json::value_t::string: return "a string";
        case json::value_t::array: return "an array";
        case json::value_t::object: return "an object";
        case json::value_t::number_float: return "a floating-point number";
        case json::value_t::number_integer: return "a negative integer";
        default: return "an integer";
    }
}

// Field readers: each names the field in its error.
struct Fields {
    const json& obj;
    std::string where;  // e.g. "" or " in `vecs`"
    std::string fault;

    const json* find(const char* key) {
        auto it = obj.find(key);
        if (it == obj.end()) {
            fail("missing field `" + std::string(key) + "`");
            return nullptr;
        }
        return &*it;
    }
    bool fail(std::string msg) {
        if (fault.empty()) fault = msg + where;
        return false;
    }
    bool mismatch(const char* key, const char* expected, const json& v) {
        return fail("invalid type for field `" + std::string(key) + "`: expected " + expected + ", found " +
                    type_word(v));
    }
    bool string(const char* key, std::string& out) {
        const json* v = find(key);
        if (!v) return false;
        if (!v->is_string()) return mismatch(key, "a string", *v);
        out = v->get_ref<const std::string&>();
        return true;
    }
    bool boolean(const char* key, bool& out, std::optional<bool> dflt = std::nullopt) {
        if (dflt && !obj.contains(key)) return out = *dflt, true;
        const json* v = find(key);
        if (!v) return false;
        if (!v->is_boolean()) return mismatch(key, "a boolean", *v);
        out = v->get<bool>();
        return true;
    }
    bool unsigned_int(const char* key, std::uint64_t& out) {
        const json* v = find(key);
        if (!v) return false;
        if (!v->is_number_unsigned()) return mismatch(key, "an unsigned integer", *v);
        out = v->get<std::uint64_t>();
        return true;
    }
    bool strings(const char* key, const json& v, std::vector<std::string>& out) {
        if (!v.is_array()) return mismatch(key, "a list of strings", v);
        out.clear();
        out.reserve(v.size());
        for (const auto& e : v) {
            if (!e.is_string()) return mismatch(key, "a list of strings", e);
            out.push_back(e.get_ref<const std::string&>());
        }
        return true;
    }
    bool strings(const char* key, std::vector<std::string>& out) {
        const json* v = find(key);
        return v && strings(key, *v, out);
    }
};

Result<const json*> as_object(const Result<json>& parsed) {
    if (!parsed) return parsed.error();
    if (!parsed->is_object())
        return NgspiceError::serialization(std::string("invalid type: expected an object, found ") +
                                           type_word(*parsed));
    return &*parsed;
}

std::string dump(const ordered_json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

}  // namespace

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

std::string encode_header(const WireHeader& h) {
    ordered_json j;
    j["id"] = h.id;
    j["success"] = h.success;
    ordered_json vecs = ordered_json::array();
    for (const auto& v : h.vecs) {
        ordered_json m;
        m["name"] = v.name;
        m["len"] = v.len;
        m["is_scale"] = v.is_scale;
        m["is_complex"] = v.is_complex;
        vecs.push_back(std::move(m));
    }
    j["vecs"] = std::move(vecs);
    j["log"] = h.log;
    if (h.error) j["error"] = *h.error;
    ordered_json measures = ordered_json::array();
    for (const auto& [name, value] : h.measures) measures.push_back(ordered_json::array({name, value}));
    j["measures"] = std::move(measures);  // nlohmann writes non-finite numbers as null
    if (h.exiting) j["exiting"] = true;
    return dump(j);
}

Result<WireHeader> decode_header(std::string_view text) {
    Result<json> parsed = parse_strict(text);
    Result<const json*> obj = as_object(parsed);
    if (!obj) return obj.error();
    const json& o = **obj;
    Fields f{o, "", ""};
    WireHeader h;
    if (!f.string("id", h.id) || !f.boolean("success", h.success))
        return NgspiceError::serialization(f.fault);
    const json* vecs = f.find("vecs");
    if (!vecs) return NgspiceError::serialization(f.fault);
    if (!vecs->is_array()) {
        f.mismatch("vecs", "a list of vector descriptions", *vecs);
        return NgspiceError::serialization(f.fault);
    }
    h.vecs.reserve(vecs->size());
    for (const auto& e : *vecs) {
        if (!e.is_object()) {
            f.mismatch("vecs", "a list of vector descriptions", e);
            return NgspiceError::serialization(f.fault);
        }
        Fields vf{e, " in `vecs`", ""};
        WireVecMeta m;
        if (!vf.string("name", m.name) || !vf.unsigned_int("len", m.len) || !vf.boolean("is_scale", m.is_scale) ||
            !vf.boolean("is_complex", m.is_complex, false))
            return NgspiceError::serialization(vf.fault);
        h.vecs.push_back(std::move(m));
    }
    if (!f.strings("log", h.log)) return NgspiceError::serialization(f.fault);
    if (auto it = o.find("error"); it != o.end() && !it->is_null()) {
        if (!it->is_string()) {
            f.mismatch("error", "a string or null", *it);
            return NgspiceError::serialization(f.fault);
        }
        h.error = it->get<std::string>();
    }
    if (auto it = o.find("measures"); it != o.end()) {
        const char* expected = "a list of [name, number] pairs";
        if (!it->is_array()) {
            f.mismatch("measures", expected, *it);
            return NgspiceError::serialization(f.fault);
        }
        for (const auto& pair : *it) {
            if (!pair.is_array() || pair.size() != 2 || !pair[0].is_string() ||
                !(pair[1].is_number() || pair[1].is_null())) {
                f.mismatch("measures", expected, pair);
                return NgspiceError::serialization(f.fault);
            }
            // A non-finite value is written as null; reading it as NaN keeps the frame usable.
            double value = pair[1].is_null() ? std::numeric_limits<double>::quiet_NaN() : pair[1].get<double>();
            h.measures.emplace_back(pair[0].get<std::string>(), value);
        }
    }
    if (auto it = o.find("exiting"); it != o.end() && !it->is_null()) {
        if (!it->is_boolean()) {
            f.mismatch("exiting", "a boolean", *it);
            return NgspiceError::serialization(f.fault);
        }
        h.exiting = it->get<bool>();
    }
    return h;
}

}  // namespace tavlo
