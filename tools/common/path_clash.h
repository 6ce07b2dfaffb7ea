// The one check, shared by the pack tool and the inspector, that a package's
// paths can all be created side by side on Windows: no two files on one path
// (letter case aside), no file where a folder must be, and no name in the form
// of an 8.3 alias beside a name that gets one. It sorts the case-folded paths
// and compares neighbours, so memory stays linear in the names' total length
// however deep they go.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace lumaro::tools {

enum class ClashKind {
  kSamePath,       // two files spelled alike
  kLetterCase,     // two paths that differ only in letter case
  kFileAndFolder,  // one entry's file is another's folder, spelled alike
  kShortName,      // first has the form of an 8.3 alias, second gets one, in one folder
};

struct PathClash {
  ClashKind kind;
  std::size_t first;        // entry indexes: the earlier one first, except for
  std::size_t second;       // kShortName (the alias form first)
  std::string first_path;   // the clashing path as each entry spells it, "/"
  std::string second_path;  // between components (a folder's path for a folder)

  std::size_t later() const { return first > second ? first : second; }
};

struct ClashRules {
  // The pack tool refuses folders that differ only in letter case (Linux
  // would carry two); the launcher merges them into one.
  bool folder_case_counts = false;
};

// The first clash among count names, in case-folded path order, or nullopt.
// name_of(i) gives name i; "/" and "\" both separate, and empty and "."
// components are dropped, as the launcher does. Names must have passed the
// launcher's name rules, and the views must stay valid during the call.
std::optional<PathClash> FindPathClash(std::size_t count, const std::function<std::string_view(std::size_t)>& name_of,
                                       ClashRules rules = {});

}  // namespace lumaro::tools
