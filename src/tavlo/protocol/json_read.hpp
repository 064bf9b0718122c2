#pragma once
// Strict JSON reading shared by the request and header decoders: duplicate keys refused, every
// fault naming its field.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavlo/base/error.hpp"

namespace tavlo::json_read {

using json = nlohmann::json;
using ordered_json = nlohmann::ordered_json;

/// Parses like nlohmann's own parser, but a key given twice in one object is an error.
Result<json> parse_strict(std::string_view text);

/// "a string", "an array", ...: the found type in a message.
const char* type_word(const json& v);

/// The parsed document as an object, or Serialization naming what it was.
Result<const json*> as_object(const Result<json>& parsed);

/// Compact text, invalid UTF-8 replaced.
std::string dump(const ordered_json& j);

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

}  // namespace tavlo::json_read
