// Text for the build-side tools' messages. File names come from whoever made
// the folder or the exe: a newline or an escape sequence in one must not forge
// a line or drive the terminal, so they are shown escaped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumaro::tools {

// Characters that do not show as themselves: a terminal acts on controls (a
// lone C1 CSI drives it as ESC [ does); bidi controls make a name read as
// another ("exe.js" shown as "sj.exe"); the rest show as nothing at all.
enum class HiddenKind { kControl, kBidiControl, kInvisible, kSoftHyphen, kNoncharacter };

// C0 and C1 controls and DEL; bidi marks, embeddings, overrides and isolates
// (U+061C, U+200E-U+200F, U+202A-U+202E, U+2066-U+2069); zero-width and
// invisible format characters (U+200B-U+200D, U+2060-U+2064, U+FEFF, U+180E);
// the soft hyphen; noncharacters (U+FDD0-U+FDEF, U+xxFFFE-U+xxFFFF).
std::optional<HiddenKind> HiddenCharacterKind(std::uint32_t code);

struct HiddenCharacter {
  std::uint32_t code;
  HiddenKind kind;
};

// The first such character of text, as far as text is well-formed UTF-8;
// soft hyphens only when soft_hyphen is set.
std::optional<HiddenCharacter> FirstHiddenCharacter(std::string_view utf8, bool soft_hyphen = true);

// "U+202E".
std::string CodePointName(std::uint32_t code);

// text with every control character (and DEL) and every byte that is not
// UTF-8 written as \xHH, and the other hidden characters of the BMP as
// \uHHHH.
std::string OneLine(std::string_view text);

// OneLine(text) in double quotes, with its own quotes written \", the form
// messages name a value or a path in.
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
