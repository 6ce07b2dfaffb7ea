// Archive walk and path collisions; see package_entries.h. Paths are compared
// exactly, as Linux would create them; the pack tool already refuses names
// that collide only when case is ignored.
#include "tools/inspect/package_entries.h"

#include <optional>
#include <unordered_map>

#include "package/archive.h"

namespace lumaro::inspect {
namespace {

// Messages carry names as stored; whoever prints them escapes control
// characters (report.h OneLine).
std::string Quoted(std::string_view name) {
  std::string out(1, '"');
  out.append(name).push_back('"');
  return out;
}

std::string Which(std::size_t index, std::size_t count) {
  return "entry " + std::to_string(index + 1) + " of " + std::to_string(count);
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
  // Every path taken so far, and whether it is a folder.
  std::unordered_map<std::string, bool> taken;
  for (std::size_t i = 0; i < count; ++i) {
    const std::optional<package::EntryHead> head = cursor->NextHead();
    if (!head) {
      return std::unexpected(Which(i, count) + ": a head running past the end, or a name the launcher refuses "
                             "(empty, not UTF-8, a drive, rooted, \".\" first or a \"..\" component)");
    }
    const std::optional<std::span<const std::byte>> data = cursor->TakeData(head->data_length);
    if (!data) {
      return std::unexpected(Which(i, count) + " " + Quoted(head->name) + ": its " +
                             std::to_string(head->data_length) + " bytes run past the end of the archive");
    }
    if (head->name.find('\0') != std::string_view::npos) {
      return std::unexpected(Which(i, count) + " " + Quoted(head->name) + ": a NUL in the name");
    }
    PackageEntry entry{head->name, PathComponents(head->name), *data};
    std::string path;
    for (std::size_t c = 0; c < entry.components.size(); ++c) {
      if (c > 0) path += '/';
      path += entry.components[c];
      const bool folder = c + 1 < entry.components.size();
      const auto [at, inserted] = taken.try_emplace(path, folder);
      if (!inserted && (!folder || !at->second)) {
        return std::unexpected(Which(i, count) + " " + Quoted(head->name) + ": the path " + Quoted(path) +
                               " is already taken by an earlier entry");
      }
    }
    entries.push_back(std::move(entry));
  }
  if (!cursor->AtEnd()) return std::unexpected("bytes left over after the last entry");
  return entries;
}

}  // namespace lumaro::inspect
