// Archive walk and path checks; see package_entries.h. Paths are compared as
// Windows compares them, letter case aside, since that is where the launcher
// creates them: two files, or a file and a folder, that differ only in case
// are one path there. Folders that differ only in case are one folder, which
// the launcher finds already made. Memory stays linear in the archive's
// size however deep its names go: nothing is kept per component.
#include "tools/inspect/package_entries.h"

#include <optional>

#include "package/archive.h"
#include "platform/path_rules.h"
#include "tools/common/one_line.h"
#include "tools/common/path_clash.h"
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

// Why a name, on its own, cannot be created on Windows as the launcher
// would create it, or nullopt.
std::optional<std::string> NameProblem(std::string_view name) {
  if (platform::IsSeparator(name.back())) {
    return "the name ends in a separator, which the launcher keeps and Windows refuses";
  }
  std::size_t units = 0;
  while (const auto component = package::NextComponent(name)) {
    if (auto problem = tools::WindowsComponentProblem(*component)) return problem;
    units += tools::Utf16Units(*component) + 1;
    if (units > tools::kMaxNameUnits) return "the path is too long for Windows";
  }
  return std::nullopt;
}

std::string ClashMessage(const tools::PathClash& clash) {
  switch (clash.kind) {
    case tools::ClashKind::kSamePath:
    case tools::ClashKind::kFileAndFolder:
      return Concat("the path ", Quoted(clash.second_path), " is already taken by an earlier entry");
    case tools::ClashKind::kLetterCase:
      return Concat("the paths ", Quoted(clash.second_path), " and ", Quoted(clash.first_path),
                    " differ only in letter case; Windows sees one name");
    case tools::ClashKind::kShortName:
      break;
  }
  return Concat(Quoted(clash.first_path), " has the form of a Windows short (8.3) name, and ",
                Quoted(clash.second_path), " in the same folder gets such a name; on volumes with short names "
                "one of them cannot be installed");
}

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
    if (auto problem = NameProblem(head->name)) {
      return std::unexpected(Concat(Which(i, count), " ", Quoted(head->name), ": ", *problem));
    }
    entries.push_back({head->name, *data});
  }
  if (!cursor->AtEnd()) return std::unexpected("bytes left over after the last entry");
  // The later entry of the two is the one the launcher would fail on.
  if (const auto clash = tools::FindPathClash(entries.size(), [&](std::size_t i) { return entries[i].name; })) {
    const std::size_t later = clash->later();
    return std::unexpected(
        Concat(Which(later, count), " ", Quoted(entries[later].name), ": ", ClashMessage(*clash)));
  }
  return entries;
}

}  // namespace lumaro::inspect
