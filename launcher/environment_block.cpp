// Merging the launcher's environment with recorded changes, and writing the
// UTF-16 block.

#include "launcher/environment_block.h"

namespace lumaro::launcher {

std::vector<std::u16string_view> SplitEnvironmentStrings(const char16_t* block) {
  std::vector<std::u16string_view> entries;
  if (block == nullptr) return entries;
  while (*block != u'\0') {
    const std::u16string_view entry(block);
    entries.push_back(entry);
    block += entry.size() + 1;
  }
  return entries;
}

std::u16string BuildEnvironmentBlock(std::span<const std::u16string_view> entries,
                                     const EnvironmentChanges& changes) {
  VariableMap variables(NameLess{changes.compare()});
  for (const std::u16string_view entry : entries) {
    // From the second character on: "=C:=C:\dir" is the variable "=C:".
    const std::size_t equals = entry.size() > 1 ? entry.find(u'=', 1) : std::u16string_view::npos;
    if (equals == std::u16string_view::npos) continue;
    variables.insert_or_assign(std::u16string(entry.substr(0, equals)),
                               std::u16string(entry.substr(equals + 1)));
  }

  for (const auto& [name, value] : changes.entries()) {
    if (!value) {
      variables.erase(name);
      continue;
    }
    // insert_or_assign keeps the spelling of a name already present.
    variables.insert_or_assign(name, *value);
  }

  std::u16string block;
  for (const auto& [name, value] : variables) {
    block += name;
    block += u'=';
    block += *value;
    block += u'\0';
  }
  // Windows reads an empty block up to its first double NUL.
  if (block.empty()) block += u'\0';
  block += u'\0';
  return block;
}

}  // namespace lumaro::launcher
