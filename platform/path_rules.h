// Pure path rules: joining, parents and roots, and how a path must be handed
// to the file system (unchanged, or made absolute with the extended-length
// prefix). Portable, so a missing "\\?\" is caught by native tests: Wine does
// not enforce MAX_PATH and would hide it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace lumaro::platform {

inline bool IsSeparator(char c) { return c == '\\' || c == '/'; }
inline bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// The empty base gives the component alone; a base ending in a separator or
// consisting of a bare drive ("C:") gets it appended directly; otherwise
// exactly one "\" goes between them.
std::string JoinPath(std::string_view base, std::string_view component);

// The path without its last component; trailing separators and "."
// components don't count as components. nullopt for an empty path or a root
// (which has no parent). The parent of a single relative component is "".
std::optional<std::string_view> ParentPath(std::string_view path);

// True for "" and for a path that is nothing but a root ("C:\", "\\srv\share\", "\").
bool IsRootOrEmpty(std::string_view path);

// "C:\..." or "\\...": a path that does not depend on the current folder or
// the current drive.
bool IsFullyQualified(std::string_view path);

// Paths shorter than this many UTF-16 units, NUL included, may go unchanged.
inline constexpr std::size_t kShortPathUnits = 248;

enum class SystemPathForm {
  kUnchanged,        // hand the text over as it is
  kExtendedAbsolute  // make absolute with GetFullPathNameW, then ExtendedLengthPath()
};

// Classifies a UTF-16 path (without its NUL).
SystemPathForm ClassifySystemPath(std::u16string_view path);

// Gives a full path (as GetFullPathNameW returns it) its extended-length
// form: "\\?\" before a drive path, "\\?\UNC\" instead of the two leading
// separators of a network path, "\\?\" instead of "\\.\" of a device path.
std::u16string ExtendedLengthPath(std::u16string_view full_path);

}  // namespace lumaro::platform
