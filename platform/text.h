// UTF-8 and UTF-16 text helpers: validation, conversion and the White_Space
// test. Portable: no Windows types, so the host tests can exercise them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumaro::platform {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF,
// no truncated sequence.
bool IsWellFormedUtf8(std::string_view bytes);

// UTF-8 -> UTF-16 (no terminator added). The input must be well-formed UTF-8;
// malformed sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);

// UTF-16 -> UTF-8; nullopt when the input holds an unpaired surrogate.
std::optional<std::string> Utf16ToUtf8(std::u16string_view utf16);

// True when the text is empty once Unicode White_Space is trimmed from both
// ends. Expects well-formed UTF-8.
bool IsBlankUnicode(std::string_view utf8);

// Removes trailing ASCII space, tab, LF, FF and CR. A vertical tab stops it.
std::string_view TrimTrailingAsciiWhitespace(std::string_view text);

}  // namespace lumaro::platform
