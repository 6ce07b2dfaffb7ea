// The package archive reader and the entry-name rules. Pure functions over a
// borrowed byte span: every length is checked before it is read, and nothing
// is copied out of the archive.
#include "package/archive.h"

#include "platform/byte_order.h"
#include "platform/path_rules.h"
#include "platform/text.h"

namespace lumaro::package {
namespace {

using platform::IsSeparator;

constexpr bool IsAsciiLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

bool IsAcceptedEntryName(std::string_view name) {
  if (name.empty()) return false;
  if (name.size() >= 2 && IsAsciiLetter(name[0]) && name[1] == ':') return false;
  if (IsSeparator(name[0])) return false;
  if (name == "." || (name.size() >= 2 && name[0] == '.' && IsSeparator(name[1]))) {
    return false;
  }
  std::string_view rest = name;
  while (const auto component = NextComponent(rest)) {
    if (*component == "..") return false;
  }
  return true;
}

std::optional<std::string_view> NextComponent(std::string_view& rest) {
  while (!rest.empty()) {
    std::size_t end = 0;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    const std::string_view component = rest.substr(0, end);
    rest.remove_prefix(end < rest.size() ? end + 1 : end);
    if (!component.empty() && component != ".") return component;
  }
  return std::nullopt;
}

std::string EntryTargetPath(std::string_view staging_dir, std::string_view name) {
  std::string target(staging_dir);
  target.reserve(staging_dir.size() + 1 + name.size());
  bool separator_due = !target.empty() && !IsSeparator(target.back());
  std::string_view rest = name;
  while (const auto component = NextComponent(rest)) {
    if (separator_due) target.push_back('\\');
    target.append(*component);
    separator_due = true;
  }
  if (!name.empty() && IsSeparator(name.back())) target.push_back('\\');
  return target;
}

std::optional<ArchiveCursor> ArchiveCursor::Open(std::span<const std::byte> archive) {
  if (archive.size() < kArchiveCountSize) return std::nullopt;
  return ArchiveCursor(platform::LoadLe16(archive.data()), archive.subspan(kArchiveCountSize));
}

std::optional<EntryHead> ArchiveCursor::NextHead() {
  if (rest_.size() < kEntryHeaderSize) return std::nullopt;
  const std::uint16_t name_length = platform::LoadLe16(rest_.data());
  const std::uint32_t data_length = platform::LoadLe32(rest_.data() + kEntryDataLengthOffset);
  if (rest_.size() - kEntryHeaderSize < name_length) return std::nullopt;
  const auto name_bytes = rest_.subspan(kEntryHeaderSize, name_length);
  const std::string_view name(reinterpret_cast<const char*>(name_bytes.data()),
                              name_bytes.size());
  if (name.empty() || !platform::IsWellFormedUtf8(name) || !IsAcceptedEntryName(name)) {
    return std::nullopt;
  }
  rest_ = rest_.subspan(kEntryHeaderSize + name_length);
  return EntryHead{name, data_length};
}

std::optional<std::span<const std::byte>> ArchiveCursor::TakeData(std::uint32_t data_length) {
  if (rest_.size() < data_length) return std::nullopt;
  const auto data = rest_.first(data_length);
  rest_ = rest_.subspan(data_length);
  return data;
}

}  // namespace lumaro::package
