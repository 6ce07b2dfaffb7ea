// Text for the build-side tools' messages. File names come from whoever made
// the folder or the exe: a newline or an escape sequence in one must not forge
// a line or drive the terminal, so they are shown escaped.
#pragma once

#include <string>
#include <string_view>

namespace lumaro::tools {

// text with every control character (and DEL) written as \xHH.
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
