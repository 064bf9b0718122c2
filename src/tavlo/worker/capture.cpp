#include "tavlo/worker/capture.hpp"

#include <locale.h>
#include <wctype.h>

#include <cmath>
#include <cstdlib>

#include "tavlo/base/text.hpp"

namespace tavlo {

namespace {

// Letters and numbers in the Unicode sense, by the C library's UTF-8 tables.
bool letter_or_number(char32_t cp) {
    if (cp < 0x80) return (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z') || (cp >= '0' && cp <= '9');
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return utf8 && iswalnum_l(static_cast<wint_t>(cp), utf8);
}

bool valid_measure_name(std::string_view name) {
    if (name.empty()) return false;
    for (std::size_t i = 0; i < name.size();) {
        char32_t cp = decode_utf8(name, i);
        if (cp != '_' && !letter_or_number(cp)) return false;
    }
    return true;
}

bool digit(char c) { return c >= '0' && c <= '9'; }

// A decimal number (sign, digits, fraction, exponent) or inf/infinity/nan in any case; no units.
std::optional<double> parse_number(std::string_view text) {
    std::string_view body = text;
    bool negative = false;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    if (equals_ignore_ascii_case(body, "inf") || equals_ignore_ascii_case(body, "infinity"))
        return negative ? -HUGE_VAL : HUGE_VAL;
    if (equals_ignore_ascii_case(body, "nan")) return negative ? -std::nan("") : std::nan("");
    std::size_t i = 0, mantissa_digits = 0;
    while (i < body.size() && digit(body[i])) ++i, ++mantissa_digits;
    if (i < body.size() && body[i] == '.') {
        ++i;
        while (i < body.size() && digit(body[i])) ++i, ++mantissa_digits;
    }
    if (mantissa_digits == 0) return std::nullopt;
    if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
        ++i;
        if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
        std::size_t exponent_digits = 0;
        while (i < body.size() && digit(body[i])) ++i, ++exponent_digits;
        if (exponent_digits == 0) return std::nullopt;
    }
    if (i != body.size()) return std::nullopt;
    // strtod in the C locale: the host program's locale must not change the decimal point.
    static const locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    std::string copy(text);
    return strtod_l(copy.c_str(), nullptr, c_locale);  // overflow gives ±inf, underflow 0
}

// ngspice runs a command in its background thread exactly when it starts with "bg_",

}  // namespace

void SimState::reset() {
    log_lines.clear();
    init_vector_names.clear();
    first_error.reset();
    had_error = false;
}

void SimState::note_error(const std::string& text) {
    had_error = true;
    if (!first_error) first_error = text;
}

bool is_error_line(std::string_view line) {
    if (line.starts_with("stderr ") && contains_ci(line, "error")) return true;
    // A misspelt command: ngspice says so on stderr and still returns 0.
    if (line.starts_with("stderr ") && line.ends_with(": no such command available in ngspice")) return true;
    return starts_with_ci(line, "error");
}

int send_char(char* text, int, void* user) {
    if (!text || !user) return 0;
    auto* state = static_cast<SimState*>(user);
    std::string line = utf8_lossy(text);
    std::lock_guard lock(state->mutex);
    if (is_error_line(line)) state->note_error(line);
    state->log_lines.push_back(std::move(line));
    return 0;
}

int send_stat(char*, int, void*) { return 0; }

int controlled_exit(int status, NG_BOOL, NG_BOOL, int, void* user) {
    if (!user) return 0;
    auto* state = static_cast<SimState*>(user);
    std::string text = "ngspice requested controlled exit with status " + std::to_string(status);
    std::lock_guard lock(state->mutex);
    state->exit_requested = true;
    state->note_error(text);
    state->log_lines.push_back(std::move(text));
    return 0;
}

int send_init_data(pvecinfoall info, int, void* user) {
    if (!info || !user) return 0;
    auto* state = static_cast<SimState*>(user);
    std::lock_guard lock(state->mutex);
    state->init_vector_names.clear();
    for (int i = 0; info->vecs && i < info->veccount; ++i) {
        const vecinfo* v = info->vecs[i];
        if (v && v->vecname) state->init_vector_names.push_back(utf8_lossy(v->vecname));
    }
    return 0;
}

// ngspice passes "the thread has exited" here: false when its thread starts, true when it ends.
int bg_thread_running(NG_BOOL exited, int, void* user) {
    if (!user) return 0;
    auto* state = static_cast<SimState*>(user);
    {
        std::lock_guard lock(state->mutex);
        ++(exited ? state->bg_exited : state->bg_started);
    }
    state->bg_changed.notify_all();
    return 0;
}

std::vector<Measure> parse_measures(const std::vector<std::string>& log_lines) {
    std::vector<Measure> out;
    for (const std::string& entry : log_lines) {
        std::string_view r = trim(entry);
        if (r.starts_with("stdout ") || r.starts_with("stderr ")) r.remove_prefix(7);
        std::size_t eq = r.find('=');
        if (eq == std::string_view::npos) continue;
        std::string_view name = trim(r.substr(0, eq));
        std::string_view value = trim(r.substr(eq + 1));
        if (value.empty() || value.starts_with("FAILED")) continue;
        std::optional<double> v = parse_number(first_token(value));
        if (!v || !valid_measure_name(name)) continue;
        out.emplace_back(std::string(name), *v);
    }
    return out;
}

}  // namespace tavlo
