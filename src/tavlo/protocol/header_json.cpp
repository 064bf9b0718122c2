#include "tavlo/base/text.hpp"
#include "tavlo/protocol/json_read.hpp"
#include "tavlo/protocol/protocol.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace tavlo {

using namespace json_read;

namespace {

// The header is written by hand: it goes out with every answer, and building it as a JSON
// document first cost more than a small simulation's whole pipe round trip. The text is what
// the document's dump wrote: compact, no ASCII escaping, invalid UTF-8 replaced.
void put_string(std::string& out, std::string_view s) {
    std::string repaired;
    if (!is_valid_utf8(s)) {
        repaired = utf8_lossy(s);
        s = repaired;
    }
    out.push_back('"');
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out.push_back(ch);
                }
        }
    }
    out.push_back('"');
}

void put_number(std::string& out, double v) {
    if (!std::isfinite(v)) {
        out += "null";
        return;
    }
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    std::string_view text(buf, static_cast<std::size_t>(end - buf));
    out += text;
    // A whole number stays a floating-point number for the reader, as "1.0".
    if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
}

void put_bool(std::string& out, bool b) { out += b ? "true" : "false"; }

}  // namespace

std::string encode_header(const WireHeader& h) {
    std::string out;
    out.reserve(96 + 64 * h.vecs.size() + 64 * h.log.size());
    out += "{\"id\":";
    put_string(out, h.id);
    out += ",\"success\":";
    put_bool(out, h.success);
    out += ",\"vecs\":[";
    for (std::size_t i = 0; i < h.vecs.size(); ++i) {
        const WireVecMeta& v = h.vecs[i];
        out += i ? ",{\"name\":" : "{\"name\":";
        put_string(out, v.name);
        out += ",\"len\":" + std::to_string(v.len) + ",\"is_scale\":";
        put_bool(out, v.is_scale);
        out += ",\"is_complex\":";
        put_bool(out, v.is_complex);
        out.push_back('}');
    }
    out += "],\"log\":[";
    for (std::size_t i = 0; i < h.log.size(); ++i) {
        if (i) out.push_back(',');
        put_string(out, h.log[i]);
    }
    out.push_back(']');
    if (h.error) {
        out += ",\"error\":";
        put_string(out, *h.error);
    }
    out += ",\"measures\":[";
    for (std::size_t i = 0; i < h.measures.size(); ++i) {
        out += i ? ",[" : "[";
        put_string(out, h.measures[i].first);
        out.push_back(',');
        put_number(out, h.measures[i].second);
        out.push_back(']');
    }
    out.push_back(']');
    if (h.exiting) out += ",\"exiting\":true";
    out.push_back('}');
    return out;
}

namespace {

// Reads a header in the shape the worker writes (its keys in their order), straight into the
// header: building a JSON document first cost more than the pipe round trip of a small
// simulation. Anything else, a fault included, goes to the general reader, which names it.
class HeaderScanner {
public:
    explicit HeaderScanner(std::string_view text) : s_(text) {}

    std::optional<WireHeader> scan() {
        for (char c : s_)
            if (static_cast<unsigned char>(c) >= 0x80) {
                if (!is_valid_utf8(s_)) return std::nullopt;
                break;
            }
        WireHeader h;
        if (!(open('{') && key("id") && string(h.id) && next() && key("success") && boolean(h.success) && next() &&
              key("vecs") && open('[')))
            return std::nullopt;
        if (!peek(']')) {
            do {
                WireVecMeta m;
                std::uint64_t len = 0;
                if (!(open('{') && key("name") && string(m.name) && next() && key("len") && unsigned_int(len) &&
                      next() && key("is_scale") && boolean(m.is_scale) && next() && key("is_complex") &&
                      boolean(m.is_complex) && close('}')))
                    return std::nullopt;
                m.len = static_cast<std::size_t>(len);
                h.vecs.push_back(std::move(m));
            } while (next());
        }
        if (!(close(']') && next() && key("log") && open('[')))
            return std::nullopt;
        if (!peek(']')) {
            do {
                if (!string(h.log.emplace_back())) return std::nullopt;
            } while (next());
        }
        if (!(close(']') && next())) return std::nullopt;
        if (peek_key("error")) {
            if (!key("error")) return std::nullopt;
            if (!null()) {
                if (!string(h.error.emplace())) return std::nullopt;
            }
            if (!next()) return std::nullopt;
        }
        if (!(key("measures") && open('['))) return std::nullopt;
        if (!peek(']')) {
            do {
                std::string name;
                double value = std::numeric_limits<double>::quiet_NaN();
                if (!(open('[') && string(name) && next() && (null() || number(value)) && close(']')))
                    return std::nullopt;
                h.measures.emplace_back(std::move(name), value);
            } while (next());
        }
        if (!close(']')) return std::nullopt;
        if (next()) {
            if (!(key("exiting") && boolean(h.exiting))) return std::nullopt;
        }
        if (!close('}')) return std::nullopt;
        space();
        if (i_ != s_.size()) return std::nullopt;
        return h;
    }

private:
    void space() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) ++i_;
    }
    bool peek(char c) {
        space();
        return i_ < s_.size() && s_[i_] == c;
    }
    bool open(char c) {
        if (!peek(c)) return false;
        ++i_;
        return true;
    }
    bool close(char c) { return open(c); }
    // A comma, consumed: there is another element.
    bool next() { return open(','); }
    bool peek_key(std::string_view name) {
        space();
        return s_.substr(i_, name.size() + 2) == "\"" + std::string(name) + "\"";
    }
    bool key(std::string_view name) {
        if (!peek_key(name)) return false;
        i_ += name.size() + 2;
        return open(':');
    }
    bool literal(std::string_view word) {
        space();
        if (s_.substr(i_, word.size()) != word) return false;
        i_ += word.size();
        return true;
    }
    bool null() { return literal("null"); }
    bool boolean(bool& out) {
        if (literal("true")) return out = true, true;
        if (literal("false")) return out = false, true;
        return false;
    }
    bool digits() {
        const std::size_t start = i_;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
        return i_ > start;
    }
    bool unsigned_int(std::uint64_t& out) {
        space();
        const std::size_t start = i_;
        if (!digits() || (s_[start] == '0' && i_ - start > 1)) return false;
        if (i_ < s_.size() && (s_[i_] == '.' || s_[i_] == 'e' || s_[i_] == 'E')) return false;
        auto [end, ec] = std::from_chars(s_.data() + start, s_.data() + i_, out);
        return ec == std::errc() && end == s_.data() + i_;
    }
    bool number(double& out) {
        space();
        const std::size_t start = i_;
        if (i_ < s_.size() && s_[i_] == '-') ++i_;
        const std::size_t int_start = i_;
        if (!digits() || (s_[int_start] == '0' && i_ - int_start > 1)) return false;
        if (i_ < s_.size() && s_[i_] == '.') {
            ++i_;
            if (!digits()) return false;
        }
        if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
            ++i_;
            if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
            if (!digits()) return false;
        }
        auto [end, ec] = std::from_chars(s_.data() + start, s_.data() + i_, out);
        return ec == std::errc() && end == s_.data() + i_;
    }
    bool hex4(std::uint32_t& out) {
        if (i_ + 4 > s_.size()) return false;
        out = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = s_[i_++];
            out <<= 4;
            if (c >= '0' && c <= '9') out |= static_cast<std::uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') out |= static_cast<std::uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') out |= static_cast<std::uint32_t>(c - 'A' + 10);
            else return false;
        }
        return true;
    }
    bool string(std::string& out) {
        if (!open('"')) return false;
        for (;;) {
            const std::size_t run = i_;
            while (i_ < s_.size() && s_[i_] != '"' && s_[i_] != '\\' && static_cast<unsigned char>(s_[i_]) >= 0x20)
                ++i_;
            out.append(s_.data() + run, i_ - run);
            if (i_ >= s_.size() || static_cast<unsigned char>(s_[i_]) < 0x20) return false;
            if (s_[i_++] == '"') return true;
            if (i_ >= s_.size()) return false;
            switch (s_[i_++]) {
                case '"': out.push_back('"'); break;
                case '\\': out.push_back('\\'); break;
                case '/': out.push_back('/'); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                case 'u': {
                    std::uint32_t cp = 0;
                    if (!hex4(cp) || (cp >= 0xDC00 && cp <= 0xDFFF)) return false;
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        std::uint32_t low = 0;
                        if (s_.substr(i_, 2) != "\\u") return false;
                        i_ += 2;
                        if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                    append_utf8(out, cp);
                    break;
                }
                default: return false;
            }
        }
    }
    static void append_utf8(std::string& out, std::uint32_t cp) {
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

}  // namespace

Result<WireHeader> decode_header(std::string_view text) {
    if (std::optional<WireHeader> h = HeaderScanner(text).scan()) return std::move(*h);
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