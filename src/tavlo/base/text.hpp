#pragma once
// Text helpers shared by every layer: UTF-8 checks and repair, Unicode white space, ASCII case.

#include <cstddef>
#include <string>
#include <string_view>

namespace tavlo {

/// True when `bytes` is well-formed UTF-8.
bool is_valid_utf8(std::string_view bytes);

/// Bytes as UTF-8 text, each invalid sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

/// The code point starting at s[i] of valid UTF-8; advances i past it.
char32_t decode_utf8(std::string_view s, std::size_t& i);

// Unicode white space, on valid UTF-8.
std::string_view trim_start(std::string_view s);
std::string_view trim_end(std::string_view s);
std::string_view trim(std::string_view s);
/// Up to the first white space.
std::string_view first_token(std::string_view s);
/// Empty or white space only.
bool is_blank(std::string_view text);

/// ASCII-case-insensitive equality; every other byte must match.
bool equals_ignore_ascii_case(std::string_view a, std::string_view b);
bool starts_with_ci(std::string_view s, std::string_view word);
/// `word` must be lower case.
bool contains_ci(std::string_view s, std::string_view word);

}  // namespace tavlo
