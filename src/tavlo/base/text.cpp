#include "tavlo/base/text.hpp"

#include <algorithm>

namespace tavlo {

namespace {

// Length of the well-formed UTF-8 sequence at the start of s, or 0 when it is not one.
// On failure, *bad is how many bytes the replacement character stands for (the maximal subpart).
std::size_t utf8_sequence(std::string_view s, std::size_t* bad) {
    auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char c = b(0);
    if (c < 0x80) return 1;
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xbf;  // allowed range of the second byte
    if (c >= 0xc2 && c <= 0xdf) {
        need = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        need = 3;
        if (c == 0xe0) lo = 0xa0;  // overlong
        if (c == 0xed) hi = 0x9f;  // surrogates
    } else if (c >= 0xf0 && c <= 0xf4) {
        need = 4;
        if (c == 0xf0) lo = 0x90;  // overlong
        if (c == 0xf4) hi = 0x8f;  // beyond U+10FFFF
    } else {
        *bad = 1;
        return 0;
    }
    std::size_t i = 1;
    for (; i < need && i < s.size(); ++i) {
        unsigned char x = b(i);
        bool fits = i == 1 ? (x >= lo && x <= hi) : (x >= 0x80 && x <= 0xbf);
        if (!fits) break;
    }
    if (i == need) return need;
    *bad = i;
    return 0;
}

bool ascii_space(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0d); }

// Byte length of the Unicode white-space character that starts at s[i], or 0.
std::size_t space_at(std::string_view s, std::size_t i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) return ascii_space(c) ? 1 : 0;
    if (i + 1 >= s.size()) return 0;
    auto c1 = static_cast<unsigned char>(s[i + 1]);
    if (c == 0xc2) return (c1 == 0x85 || c1 == 0xa0) ? 2 : 0;  // NEL, NBSP
    if (i + 2 >= s.size()) return 0;
    auto c2 = static_cast<unsigned char>(s[i + 2]);
    if (c == 0xe1) return (c1 == 0x9a && c2 == 0x80) ? 3 : 0;  // U+1680
    if (c == 0xe2 && c1 == 0x80)                                // U+2000..200A, 2028, 2029, 202F
        return (c2 <= 0x8a || c2 == 0xa8 || c2 == 0xa9 || c2 == 0xaf) ? 3 : 0;
    if (c == 0xe2 && c1 == 0x81) return c2 == 0x9f ? 3 : 0;     // U+205F
    if (c == 0xe3) return (c1 == 0x80 && c2 == 0x80) ? 3 : 0;  // U+3000
    return 0;
}

// Byte length of the white-space character that ends just before s[end], or 0.
std::size_t space_before(std::string_view s, std::size_t end) {
    if (end == 0) return 0;
    if (static_cast<unsigned char>(s[end - 1]) < 0x80) return ascii_space(s[end - 1]) ? 1 : 0;
    if (end >= 2 && space_at(s, end - 2) == 2) return 2;
    if (end >= 3 && space_at(s, end - 3) == 3) return 3;
    return 0;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

}  // namespace

bool is_valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t bad = 0;
        std::size_t n = utf8_sequence(s.substr(i), &bad);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string utf8_lossy(std::string_view s) {
    // Fast path: ngspice's output is almost always plain ASCII.
    std::size_t i = 0;
    while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) ++i;
    if (i == s.size()) return std::string(s);
    std::string out(s.substr(0, i));
    out.reserve(s.size() + 8);
    while (i < s.size()) {
        std::size_t bad = 0;
        std::size_t n = utf8_sequence(s.substr(i), &bad);
        if (n) {
            out.append(s.substr(i, n));
            i += n;
        } else {
            out.append("\xef\xbf\xbd");
            i += bad;
        }
    }
    return out;
}

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

std::string_view trim_start(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t n = space_at(s, i);
        if (n == 0) break;
        i += n;
    }
    return s.substr(i);
}

std::string_view trim_end(std::string_view s) {
    std::size_t end = s.size();
    while (std::size_t n = space_before(s, end)) end -= n;
    return s.substr(0, end);
}

std::string_view trim(std::string_view s) { return trim_end(trim_start(s)); }

std::string_view first_token(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && space_at(s, i) == 0) ++i;
    return s.substr(0, i);
}

bool is_blank(std::string_view text) { return trim_start(text).empty(); }

bool starts_with_ci(std::string_view s, std::string_view word) {
    return s.size() >= word.size() && equals_ignore_ascii_case(s.substr(0, word.size()), word);
}

// `word` must be lower case.
bool contains_ci(std::string_view s, std::string_view word) {
    return std::search(s.begin(), s.end(), word.begin(), word.end(),
                       [](char a, char b) { return lower(a) == b; }) != s.end();
}

char32_t decode_utf8(std::string_view s, std::size_t& i) {
    auto c = static_cast<unsigned char>(s[i]);
    int extra = c < 0x80 ? 0 : c < 0xe0 ? 1 : c < 0xf0 ? 2 : 3;
    char32_t cp = extra == 0 ? c : c & (0x3f >> extra);
    for (int k = 0; k < extra; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[++i]) & 0x3f);
    ++i;
    return cp;
}


}  // namespace tavlo
