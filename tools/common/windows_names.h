// Build-time checks that an archive name can be created faithfully on Windows
// and will be accepted by the launcher's unpacker. The archive name uses "/"
// between components.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumaro::tools {

inline constexpr std::size_t kMaxEntryNameBytes = 65535;
// NTFS component limit, in UTF-16 units.
inline constexpr std::size_t kMaxComponentUnits = 255;
// Extended-length paths stop at 32,767 UTF-16 units; leave room for the
// install folder under LOCALAPPDATA.
inline constexpr std::size_t kMaxNameUnits = 32767 - 512;

// UTF-16 length of well-formed UTF-8: one unit per code point, two for the
// four-byte sequences that become surrogate pairs.
std::size_t Utf16Units(std::string_view utf8);

// Why one name cannot be a Windows file or folder name, as what follows
// "it" ("is a reserved device name on Windows"), or nullopt. The name must
// already be well-formed UTF-8.
std::optional<std::string> WindowsNameProblem(std::string_view name);

// The same for a component of an archive name, naming the component.
std::optional<std::string> WindowsComponentProblem(std::string_view component);

// Why a whole "/"-separated archive name would be refused by the unpacker or
// cannot be created on Windows, or nullopt when it is fine.
std::optional<std::string> EntryNameProblem(std::string_view name);

// A component that is a classic 8.3 name (1-8 characters, then optionally a
// dot and 1-3 more, from the FAT short-name set), letter case aside. Windows
// gives every other name a short alias such as "ABCDEF~1.JS" on volumes that
// make 8.3 names.
bool IsPlainShortName(std::string_view component);

// A plain 8.3 name whose base ends in "~" and digits: the shape of such an
// alias, which another entry of the same folder could then claim.
bool IsShortNameAliasForm(std::string_view component);

// A key under which two names collide on a case-insensitive volume: the
// name with each UTF-16 unit's simple uppercase applied, as Windows compares
// names (a table that approximates NTFS's; ß and SS, ı and I stay apart).
std::string CaseFoldKey(std::string_view utf8_name);
void AppendCaseFoldKey(std::string& key, std::string_view utf8_name);

}  // namespace lumaro::tools
