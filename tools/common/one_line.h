// Text for the build-side tools' messages. File names come from whoever made
// the folder or the exe: a newline or an escape sequence in one must not forge
// a line or drive the terminal, so they are shown escaped.
#pragma once

#include <string>
#include <string_view>

namespace lumaro::tools {

// text with every control character (and DEL) and every byte that is not
// UTF-8 written as \xHH, and the C1 controls (U+0080-U+009F) and bidi
// overrides and isolates (U+202A-U+202E, U+2066-U+2069) as \uHHHH.
std::string OneLine(std::string_view text);

// OneLine(text) in double quotes, the form messages name a path in.
std::string Quoted(std::string_view text);

// The parts appended in order. GCC 12 reports a false -Wrestrict overlap on
// "literal" + std::string at -O2 (its bug 105651); appending never triggers it.
template <typename... Parts>
std::string Concat(const Parts&... parts) {
  std::string out;
  (out.append(std::string_view(parts)), ...);
  return out;
}

}  // namespace lumaro::tools
