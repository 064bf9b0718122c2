#include "tavlo/protocol.hpp"

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

bool equals_ignore_ascii_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x += 32;
        if (y >= 'A' && y <= 'Z') y += 32;
        if (x != y) return false;
    }
    return true;
}

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

// ---- writing ----

Status StringSink::write(const char* data, std::size_t n) {
    bytes.append(data, n);
    return ok_status();
}

FdWriter::FdWriter(int fd, std::size_t capacity) : fd_(fd), capacity_(capacity) { buf_.reserve(capacity); }

Status write_fd(int fd, const char* data, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return NgspiceError::from_errno(errno);
        }
        if (w == 0) return NgspiceError::io("failed to write whole buffer");
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return ok_status();
}

Status FdWriter::write(const char* data, std::size_t n) {
    if (buf_.size() + n > capacity_) {
        if (Status s = flush(); !s) return s;
        if (n >= capacity_) return write_fd(fd_, data, n);
    }
    buf_.append(data, n);
    return ok_status();
}

Status FdWriter::flush() {
    Status s = write_fd(fd_, buf_.data(), buf_.size());
    buf_.clear();
    return s;
}

Status write_wire_response(ByteSink& out, const std::string& id, bool success,
                           const std::vector<VectorData>& vectors, const std::vector<std::string>& log,
                           const std::optional<std::string>& error, const std::vector<Measure>& measures,
                           bool exiting) {
    WireHeader h{id, success, {}, log, error, measures, exiting};
    h.vecs.reserve(vectors.size());
    for (const auto& v : vectors) h.vecs.push_back(meta_of(v));
    std::string header = encode_header(h);
    auto n = static_cast<std::uint32_t>(header.size());
    char prefix[4] = {static_cast<char>(n & 0xff), static_cast<char>((n >> 8) & 0xff),
                      static_cast<char>((n >> 16) & 0xff), static_cast<char>((n >> 24) & 0xff)};
    if (Status s = out.write(prefix, 4); !s) return s;
    if (Status s = out.write(header.data(), header.size()); !s) return s;
    for (const auto& v : vectors) {
        Status s = v.complex ? out.write(reinterpret_cast<const char*>(v.complex->data()), v.complex->size() * 16)
                             : out.write(reinterpret_cast<const char*>(v.real.data()), v.real.size() * 8);
        if (!s) return s;
    }
    return out.flush();
}

// ---- reading ----

NgspiceError read_failure(std::string_view step, const std::string& io_text) {
    return NgspiceError::worker_crashed("stdout read (" + std::string(step) + ") failed: " + io_text);
}

namespace {
// Header bytes are taken in pieces of this size, so memory follows what actually arrives.
constexpr std::size_t kHeaderPiece = 64 * 1024;
}  // namespace

std::string_view FrameParser::step() const {
    switch (state_) {
        case State::Len: return "header len";
        case State::Header: return "header";
        default: return vec_ < parsed_.vecs.size() && parsed_.vecs[vec_].is_complex ? "complex vec" : "vec data";
    }
}

NgspiceError FrameParser::read_failed(const std::string& io_text) const { return read_failure(step(), io_text); }

void FrameParser::fail(NgspiceError e) {
    error_ = std::move(e);
    state_ = State::Failed;
}

std::pair<char*, std::size_t> FrameParser::next() {
    switch (state_) {
        case State::Len: return {reinterpret_cast<char*>(prefix_), 4};
        case State::Header: {
            std::size_t n = std::min<std::size_t>(kHeaderPiece, header_len_ - filled_);
            header_.resize(filled_ + n);
            pending_ = n;
            return {header_.data() + filled_, n};
        }
        case State::Payload: {
            std::size_t n = std::min(kChunk, total_ - filled_);
            samples_.resize((filled_ + n) / 8);
            pending_ = n;
            return {reinterpret_cast<char*>(samples_.data()) + filled_, n};
        }
        default: return {nullptr, 0};
    }
}

void FrameParser::commit() {
    switch (state_) {
        case State::Len:
            header_len_ = prefix_[0] | (prefix_[1] << 8) | (prefix_[2] << 16) | (std::uint32_t(prefix_[3]) << 24);
            if (header_len_ > kMaxHeaderLen)
                return fail(read_failure("header", "announced header length " + std::to_string(header_len_) +
                                                       " exceeds the limit of " + std::to_string(kMaxHeaderLen)));
            state_ = State::Header;
            filled_ = 0;
            if (header_len_ > 0) return;
            break;  // an empty header is decoded (and refused) at once
        case State::Header:
            filled_ += pending_;
            pending_ = 0;
            if (filled_ < header_len_) return;
            break;
        case State::Payload:
            filled_ += pending_;
            pending_ = 0;
            if (filled_ == total_) finish_vector();
            return;
        default: return;
    }
    Result<WireHeader> h = decode_header(header_);
    if (!h) return fail(h.error());
    parsed_ = std::move(*h);
    exiting_ = parsed_.exiting;
    header_ = std::string();
    vectors_.reserve(parsed_.vecs.size());
    vec_ = 0;
    start_vector();
}

void FrameParser::start_vector() {
    for (; vec_ < parsed_.vecs.size(); ++vec_) {
        const WireVecMeta& meta = parsed_.vecs[vec_];
        std::uint64_t width = meta.is_complex ? 16 : 8;
        if (meta.len > std::numeric_limits<std::size_t>::max() / width) {
            state_ = State::Payload;  // so the message names this vector's step
            return fail(read_failed("announced vector length " + std::to_string(meta.len) + " is too large"));
        }
        total_ = static_cast<std::size_t>(meta.len * width);
        filled_ = pending_ = 0;
        samples_.clear();
        if (total_ > 0) {
            state_ = State::Payload;
            return;
        }
        VectorData& empty = vectors_.emplace_back(VectorData{meta.name, {}, std::nullopt, meta.is_scale});
        if (meta.is_complex) empty.complex.emplace();
    }
    state_ = State::Done;
}

void FrameParser::finish_vector() {
    WireVecMeta& meta = parsed_.vecs[vec_];
    VectorData v{std::move(meta.name), {}, std::nullopt, meta.is_scale};
    if (!meta.is_complex) {
        v.real = std::move(samples_);
    } else {
        std::size_t n = samples_.size() / 2;
        v.real.resize(n);
        std::vector<std::complex<double>> pairs(n);
        for (std::size_t i = 0; i < n; ++i) {
            v.real[i] = samples_[2 * i];
            pairs[i] = {samples_[2 * i], samples_[2 * i + 1]};
        }
        v.complex = std::move(pairs);
    }
    samples_ = {};
    vectors_.push_back(std::move(v));
    ++vec_;
    start_vector();
}

Result<SimulationResponse> FrameParser::take() {
    if (error_) return std::move(*error_);
    return SimulationResponse{std::move(parsed_.id), parsed_.success, std::move(vectors_), std::move(parsed_.log),
                              std::move(parsed_.error), std::move(parsed_.measures)};
}

Result<Unit> StringSource::read_exact(char* buf, std::size_t n) {
    if (bytes_.size() - pos_ < n) {
        pos_ = bytes_.size();
        return NgspiceError::io("early eof");
    }
    std::memcpy(buf, bytes_.data() + pos_, n);
    pos_ += n;
    return ok_status();
}

Result<SimulationResponse> read_frame(ByteSource& in) {
    FrameParser parser;
    while (!parser.done()) {
        auto [buf, n] = parser.next();
        if (auto r = in.read_exact(buf, n); !r) return parser.read_failed(r.error().payload());
        parser.commit();
    }
    return parser.take();
}

}  // namespace tavlo
