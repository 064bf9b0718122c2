#include "tavlo/protocol/json_read.hpp"

namespace tavlo::json_read {

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

}  // namespace

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

Result<const json*> as_object(const Result<json>& parsed) {
    if (!parsed) return parsed.error();
    if (!parsed->is_object())
        return NgspiceError::serialization(std::string("invalid type: expected an object, found ") +
                                           type_word(*parsed));
    return &*parsed;
}

std::string dump(const ordered_json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

}  // namespace tavlo::json_read
