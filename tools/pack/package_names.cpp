// Package-wide name checks for the pack tool; see package_names.h.
#include "tools/pack/package_names.h"

#include <algorithm>
#include <map>
#include <optional>
#include <unordered_map>
#include <vector>

#include "tools/common/one_line.h"
#include "tools/common/windows_names.h"

namespace lumaro::pack {
namespace {

using tools::CaseFoldKey;
using tools::Concat;
using tools::EntryNameProblem;
using tools::IsPlainShortName;
using tools::IsShortNameAliasForm;

PackError BadInput(std::string message) { return {ErrorClass::kBadInput, std::move(message)}; }

std::string Show(std::string_view where, std::string_view name) {
  std::string shown(where);
  if (!shown.empty() && shown.back() != '/') shown += '/';
  shown += name;
  return "\"" + shown + "\"";
}

struct Seen {
  std::string original;
  bool is_folder;
};

// On volumes that make 8.3 names, "abcdefghi.js" gets the alias
// "ABCDEF~1.JS" when it is created, and an entry named "abcdef~1.js" in the
// same folder then fails with 80 on every launch (or the other way round).
// Which long name takes which alias depends on the volume and the order, so
// an entry in alias form is refused whenever its folder holds any name that
// gets an alias at all: a little more than needed, never less.
std::optional<PackError> ShortNameClash(const std::unordered_map<std::string, Seen>& seen,
                                        std::string_view where) {
  std::map<std::string_view, std::vector<std::string_view>> children;  // folder -> names, sorted
  for (const auto& [key, entry] : seen) {
    const std::size_t slash = entry.original.rfind('/');
    const std::string_view path = entry.original;
    children[slash == std::string::npos ? std::string_view() : path.substr(0, slash)].push_back(
        slash == std::string::npos ? path : path.substr(slash + 1));
  }
  for (auto& [folder, names] : children) {
    std::sort(names.begin(), names.end());
    const auto alias = std::find_if(names.begin(), names.end(), IsShortNameAliasForm);
    if (alias == names.end()) continue;
    const auto aliased = std::find_if(names.begin(), names.end(), [](auto n) { return !IsPlainShortName(n); });
    if (aliased == names.end()) continue;
    auto full = [&](std::string_view name) {
      return folder.empty() ? std::string(name) : std::string(folder) + "/" + std::string(name);
    };
    return BadInput(Show(where, full(*alias)) + " has the form of a Windows short (8.3) name, and " +
                    Show(where, full(*aliased)) + " in the same folder gets such a name; on volumes with "
                    "short names one of them could not be installed. Rename " + Show(where, full(*alias)));
  }
  return std::nullopt;
}

}  // namespace

std::expected<void, PackError> CheckPackageNames(std::span<const std::string> names,
                                                 std::string_view where) {
  if (names.size() > kMaxEntries) {
    return std::unexpected(BadInput(Concat(where.empty() ? "the folder" : Concat("\"", where, "\""), " holds ",
                                           std::to_string(names.size()), " files; a package holds at most 65,535")));
  }
  // Every file and every folder it implies, by case-folded name: two paths
  // that differ only in letter case are one path on Windows.
  std::unordered_map<std::string, Seen> seen;
  bool has_node = false;
  bool has_home = false;
  for (const std::string& name : names) {
    if (auto problem = EntryNameProblem(name)) {
      return std::unexpected(BadInput(Show(where, name) + ": " + *problem));
    }
    has_node = has_node || name == "node.exe";
    has_home = has_home || name == "home.mjs";
    const std::string_view top = std::string_view(name).substr(0, name.find('/'));
    if (CaseFoldKey(top) == "READY") {
      return std::unexpected(BadInput(
          Show(where, top) + ": a top-level entry may not be named \"ready\"; the installer "
                             "writes its completion marker there"));
    }
    for (std::size_t end = name.find('/'); ; end = name.find('/', end + 1)) {
      const bool is_folder = end != std::string::npos;
      const std::string path = name.substr(0, is_folder ? end : name.size());
      auto [it, inserted] = seen.try_emplace(CaseFoldKey(path), Seen{path, is_folder});
      if (!inserted) {
        const Seen& other = it->second;
        if (other.original != path) {
          return std::unexpected(BadInput(Show(where, path) + " and " + Show(where, other.original) +
                                          " differ only in letter case; Windows sees one name"));
        }
        if (!is_folder || !other.is_folder) {
          return std::unexpected(BadInput(
              Show(where, path) + (is_folder == other.is_folder ? " appears twice"
                                                                 : " is both a file and a folder")));
        }
      }
      if (!is_folder) break;
    }
  }
  if (auto clash = ShortNameClash(seen, where)) return std::unexpected(*clash);
  if (!has_node) {
    return std::unexpected(BadInput(Show(where, "node.exe") + " is missing; the launcher starts it. --node VERSION "
                                    "(./lumaro pack) gives the official one, --node-exe FILE (lmr-pack) a file"));
  }
  if (!has_home) return std::unexpected(BadInput(Show(where, "home.mjs") + " is missing; the launcher runs it"));
  return {};
}

}  // namespace lumaro::pack
