// Archive walk and path checks; see package_entries.h. Paths are compared as
// Windows compares them, letter case aside, since that is where the launcher
// creates them: two files, or a file and a folder, that differ only in case
// are one path there. Folders that differ only in case are one folder, which
// the launcher finds already made.
#include "tools/inspect/package_entries.h"

#include <functional>
#include <optional>
#include <unordered_map>

#include "package/archive.h"
#include "platform/path_rules.h"
#include "tools/common/one_line.h"
#include "tools/common/windows_names.h"

namespace lumaro::inspect {
namespace {

using tools::Concat;

// Messages carry names as stored; whoever prints them escapes control
// characters (report.h OneLine).
std::string Quoted(std::string_view name) { return Concat("\"", name, "\""); }

std::string Which(std::size_t index, std::size_t count) {
  return Concat("entry ", std::to_string(index + 1), " of ", std::to_string(count));
}

// The first depth components of name, joined with "/".
std::string PathPrefix(std::string_view name, std::size_t depth) {
  std::string path;
  for (std::size_t i = 0; i < depth; ++i) {
    const auto component = package::NextComponent(name);
    if (!component) break;
    if (i > 0) path += '/';
    path += *component;
  }
  return path;
}

// Every path taken so far is a node below its folder's node, keyed by its
// last component's case-folded form: memory in proportion to the names'
// total length, however deep they go.
struct PathKey {
  std::size_t folder;
  std::string folded;
  bool operator==(const PathKey&) const = default;
};

struct PathKeyHash {
  std::size_t operator()(const PathKey& key) const {
    return std::hash<std::string_view>()(key.folded) ^ (key.folder * 0x9E3779B97F4A7C15u);
  }
};

struct TakenPath {
  std::size_t node;
  bool folder;
  std::string_view name;  // of the entry that took it first
  std::size_t depth;      // components of that name it spans
};

class PathTable {
 public:
  // Why name cannot be installed beside the names added before, or nullopt.
  std::optional<std::string> Add(std::string_view name) {
    if (platform::IsSeparator(name.back())) {
      return "the name ends in a separator, which the launcher keeps and Windows refuses";
    }
    std::string_view rest = name;
    std::optional<std::string_view> component = package::NextComponent(rest);
    std::size_t folder = 0;  // the root
    std::size_t depth = 0;
    std::size_t units = 0;
    while (component) {
      const std::optional<std::string_view> next = package::NextComponent(rest);
      ++depth;
      if (auto problem = tools::WindowsComponentProblem(*component)) return problem;
      units += tools::Utf16Units(*component) + 1;
      if (units > tools::kMaxNameUnits) return "the path is too long for Windows";
      const bool is_folder = next.has_value();
      const auto [at, inserted] =
          paths_.try_emplace(PathKey{folder, tools::CaseFoldKey(*component)},
                             TakenPath{paths_.size() + 1, is_folder, name, depth});
      const TakenPath& taken = at->second;
      if (!inserted && (!is_folder || !taken.folder)) {
        const std::string mine = PathPrefix(name, depth);
        const std::string theirs = PathPrefix(taken.name, taken.depth);
        if (mine != theirs) {
          return Concat("the paths ", Quoted(mine), " and ", Quoted(theirs),
                        " differ only in letter case; Windows sees one name");
        }
        return Concat("the path ", Quoted(mine), " is already taken by an earlier entry");
      }
      folder = taken.node;
      component = next;
    }
    return std::nullopt;
  }

 private:
  std::unordered_map<PathKey, TakenPath, PathKeyHash> paths_;
};

}  // namespace

std::vector<std::string_view> PathComponents(std::string_view name) {
  std::vector<std::string_view> out;
  while (const auto part = package::NextComponent(name)) out.push_back(*part);
  return out;
}

std::expected<std::vector<PackageEntry>, std::string> ReadPackageEntries(std::span<const std::byte> archive) {
  std::optional<package::ArchiveCursor> cursor = package::ArchiveCursor::Open(archive);
  if (!cursor) return std::unexpected("the archive is shorter than its entry count");
  const std::size_t count = cursor->entry_count();

  std::vector<PackageEntry> entries;
  entries.reserve(count);
  PathTable paths;
  for (std::size_t i = 0; i < count; ++i) {
    const std::optional<package::EntryHead> head = cursor->NextHead();
    if (!head) {
      return std::unexpected(Which(i, count) + ": a head running past the end, or a name the launcher refuses "
                             "(empty, not UTF-8, a drive, rooted, \".\" first or a \"..\" component)");
    }
    const std::optional<std::span<const std::byte>> data = cursor->TakeData(head->data_length);
    if (!data) {
      return std::unexpected(Concat(Which(i, count), " ", Quoted(head->name), ": its ",
                                    std::to_string(head->data_length), " bytes run past the end of the archive"));
    }
    if (head->name.find('\0') != std::string_view::npos) {
      return std::unexpected(Concat(Which(i, count), " ", Quoted(head->name), ": a NUL in the name"));
    }
    if (auto problem = paths.Add(head->name)) {
      return std::unexpected(Concat(Which(i, count), " ", Quoted(head->name), ": ", *problem));
    }
    entries.push_back({head->name, PathComponents(head->name), *data});
  }
  if (!cursor->AtEnd()) return std::unexpected("bytes left over after the last entry");
  return entries;
}

}  // namespace lumaro::inspect
