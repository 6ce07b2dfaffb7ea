// Package-wide name checks for the pack tool; see package_names.h.
#include "tools/pack/package_names.h"

#include <unordered_map>

#include "tools/pack/windows_names.h"

namespace lumaro::pack {
namespace {

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

}  // namespace

std::expected<void, PackError> CheckPackageNames(std::span<const std::string> names,
                                                 std::string_view where) {
  if (names.size() > kMaxEntries) {
    return std::unexpected(BadInput("the folder holds " + std::to_string(names.size()) +
                                    " files; a package holds at most 65,535"));
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
  if (!has_node) return std::unexpected(BadInput(Show(where, "node.exe") + " is missing; the launcher starts it"));
  if (!has_home) return std::unexpected(BadInput(Show(where, "home.mjs") + " is missing; the launcher runs it"));
  return {};
}

}  // namespace lumaro::pack
