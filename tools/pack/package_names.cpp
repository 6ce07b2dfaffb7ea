// Package-wide name checks for the pack tool; see package_names.h.
#include "tools/pack/package_names.h"

#include "tools/common/one_line.h"
#include "tools/common/path_clash.h"
#include "tools/common/windows_names.h"

namespace lumaro::pack {
namespace {

using tools::CaseFoldKey;
using tools::ClashKind;
using tools::Concat;
using tools::EntryNameProblem;

PackError BadInput(std::string message) { return {ErrorClass::kBadInput, std::move(message)}; }

std::string Show(std::string_view where, std::string_view name) {
  std::string shown(where);
  if (!shown.empty() && shown.back() != '/') shown += '/';
  shown += name;
  return "\"" + shown + "\"";
}

// On volumes that make 8.3 names, "abcdefghi.js" gets the alias
// "ABCDEF~1.JS" when it is created, and an entry named "abcdef~1.js" in the
// same folder then fails with 80 on every launch (or the other way round).
// Which long name takes which alias depends on the volume and the order, so
// an entry in alias form is refused whenever its folder holds any name that
// gets an alias at all: a little more than needed, never less.
std::string ClashMessage(const tools::PathClash& clash, std::string_view where) {
  const std::string first = Show(where, clash.first_path);
  const std::string second = Show(where, clash.second_path);
  switch (clash.kind) {
    case ClashKind::kSamePath: return second + " appears twice";
    case ClashKind::kLetterCase: return second + " and " + first + " differ only in letter case; Windows sees one name";
    case ClashKind::kFileAndFolder: return second + " is both a file and a folder";
    case ClashKind::kShortName:
      break;
  }
  return first + " has the form of a Windows short (8.3) name, and " + second +
         " in the same folder gets such a name; on volumes with short names one of them could not be "
         "installed. Rename " + first;
}

}  // namespace

std::expected<void, PackError> CheckPackageNames(std::span<const std::string> names,
                                                 std::string_view where) {
  if (names.size() > kMaxEntries) {
    return std::unexpected(BadInput(Concat(where.empty() ? "the folder" : Concat("\"", where, "\""), " holds ",
                                           std::to_string(names.size()), " files; a package holds at most 65,535")));
  }
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
  }
  // Folders that differ only in case count too: Linux would carry two that
  // Windows merges.
  const auto clash = tools::FindPathClash(
      names.size(), [&](std::size_t i) { return std::string_view(names[i]); }, {.folder_case_counts = true});
  if (clash) return std::unexpected(BadInput(ClashMessage(*clash, where)));
  if (!has_node) {
    return std::unexpected(BadInput(Show(where, "node.exe") + " is missing; the launcher starts it. --node VERSION "
                                    "(./lumaro pack) gives the official one, --node-exe FILE (lmr-pack) a file"));
  }
  if (!has_home) return std::unexpected(BadInput(Show(where, "home.mjs") + " is missing; the launcher runs it"));
  return {};
}

}  // namespace lumaro::pack
