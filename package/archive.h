// The package archive: an entry count, then entries of (name, data) back to
// back. This is the pure reader and the entry-name rules; it never touches the
// file system, so the unpacker drives it step by step and the host tests and
// fuzzers exercise it directly. Names and data are borrowed from the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace lumaro::package {

inline constexpr std::size_t kArchiveCountSize = 2;
inline constexpr std::size_t kEntryHeaderSize = 6;  // u16 name_length, u32 data_length
inline constexpr std::size_t kEntryDataLengthOffset = 2;

// The name rules: "/" and "\" both separate components. Rejected: a drive
// ("X:" at the start), a rooted name (leading separator), "." or "./" first,
// any ".." component. Empty and later "." components are skipped, not refused.
// Callers check UTF-8 well-formedness and non-emptiness first.
bool IsAcceptedEntryName(std::string_view name);

// Splits a name into the components above, one per call: returns the next
// one and moves rest past it, nullopt when none is left. ".." is returned
// like any other component.
std::optional<std::string_view> NextComponent(std::string_view& rest);

// Where an accepted entry lands below staging_dir: its components joined with
// "\" alone, empty and "." components left out, and a trailing separator kept
// as "\" (the file system then refuses the name). Windows does not normalise
// an extended-length ("\\?\") path, so a "/" or an empty component in it
// would reach the file system literally.
std::string EntryTargetPath(std::string_view staging_dir, std::string_view name);

struct EntryHead {
  std::string_view name;      // borrowed from the archive, well-formed, accepted
  std::uint32_t data_length;  // not yet bounds-checked
};

// Walks an archive in the order the unpacker needs: the entry head and name
// are checked first, the data bounds only when the caller asks for the data
// (after it has created the file). Every failure is the one package error.
class ArchiveCursor {
 public:
  // nullopt when the archive is shorter than its 2-byte count.
  static std::optional<ArchiveCursor> Open(std::span<const std::byte> archive);

  std::uint16_t entry_count() const { return entry_count_; }

  // The next entry's head: fewer than 6 bytes left, a name running past the
  // end, a name that is empty, not well-formed UTF-8 or refused by the name
  // rules all give nullopt. Call exactly entry_count() times.
  std::optional<EntryHead> NextHead();

  // The data of the entry just read by NextHead; nullopt when it runs past
  // the end of the archive.
  std::optional<std::span<const std::byte>> TakeData(std::uint32_t data_length);

  // After the last entry: true when no bytes are left over.
  bool AtEnd() const { return rest_.empty(); }

 private:
  ArchiveCursor(std::uint16_t count, std::span<const std::byte> rest)
      : entry_count_(count), rest_(rest) {}
  std::uint16_t entry_count_;
  std::span<const std::byte> rest_;
};

}  // namespace lumaro::package
