// The environment block a child process gets: the launcher's own variables
// with recorded changes applied, in ascending case-insensitive order of names.
// The merging is pure; the name comparison is injected (CompareStringOrdinal
// through platform/environment.h on Windows, a stand-in in native tests).
//
// Block layout (CREATE_UNICODE_ENVIRONMENT): for each variable "NAME=VALUE"
// and a NUL, then one more NUL. An empty environment is two NULs.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lumaro::launcher {

// Negative, zero or positive, like a three-way compare; names that differ
// only in letter case compare equal.
using NameCompare = int (*)(std::u16string_view a, std::u16string_view b);

struct NameLess {
  NameCompare compare;
  bool operator()(const std::u16string& a, const std::u16string& b) const {
    return compare(a, b) < 0;
  }
};

// Variable name -> value, or nullopt for "remove". Ordered by the comparator.
using VariableMap = std::map<std::u16string, std::optional<std::u16string>, NameLess>;

// Recorded changes: a later change to the same name (in any letter case)
// replaces the earlier one.
class EnvironmentChanges {
 public:
  explicit EnvironmentChanges(NameCompare compare) : changes_(NameLess{compare}) {}

  void Set(std::u16string name, std::u16string value) { Record(std::move(name), std::move(value)); }
  void Remove(std::u16string name) { Record(std::move(name), std::nullopt); }

  bool empty() const { return changes_.empty(); }
  NameCompare compare() const { return changes_.key_comp().compare; }
  const VariableMap& entries() const { return changes_; }

 private:
  void Record(std::u16string name, std::optional<std::u16string> value) {
    changes_.erase(name);
    changes_.emplace(std::move(name), std::move(value));
  }

  VariableMap changes_;
};

// The entries of a block as GetEnvironmentStringsW returns it ("A=1\0B=2\0\0"),
// without their NULs. A null block gives no entries.
std::vector<std::u16string_view> SplitEnvironmentStrings(const char16_t* block);

// Splits each entry at the first "=" at or after its second character, so the
// per-drive "=C:=C:\dir" entries keep their names; entries without one are
// skipped. Then applies the changes: a set replaces the value of a variable
// whose name matches in any case (keeping that name's spelling) or adds it; a
// removal deletes it in any case. Returns the block, double NUL included.
std::u16string BuildEnvironmentBlock(std::span<const std::u16string_view> entries,
                                     const EnvironmentChanges& changes);

}  // namespace lumaro::launcher
