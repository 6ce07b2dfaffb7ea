// libFuzzer target: walks the archive cursor over arbitrary bytes and, for
// every name it accepts, resolves the name below a staging root the way the
// unpacker joins it, checking that the result can never leave the root.
#include "package/archive.h"
#include "platform/path_rules.h"

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kRoot = "C:\\Users\\u\\AppData\\Local\\Lumaro\\install-0123456789abcdef-42";

void Check(bool condition) {
  if (!condition) std::abort();
}

using lumaro::platform::IsSeparator;

// Components as the file system sees them: split on both separators, empty
// and "." components dropped, ".." kept so that the caller can see it.
std::vector<std::string_view> Components(std::string_view path) {
  std::vector<std::string_view> out;
  while (const auto part = lumaro::package::NextComponent(path)) out.push_back(*part);
  return out;
}

void CheckResolvesInsideRoot(std::string_view name) {
  // No drive and no rooted form: either would make the join ignore the root.
  Check(name.empty() || !IsSeparator(name[0]));
  Check(!(name.size() >= 2 && name[1] == ':' &&
          ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))));

  std::string target(kRoot);
  target += '\\';
  target += name;

  const auto root_parts = Components(kRoot);
  const auto parts = Components(target);
  for (auto part : parts) Check(part != "..");

  // Lexical resolution cannot pop anything, so the root is a strict prefix:
  // the file itself lies below it, and so does its parent folder.
  Check(parts.size() > root_parts.size());
  for (std::size_t i = 0; i < root_parts.size(); ++i) Check(parts[i] == root_parts[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::byte> archive(reinterpret_cast<const std::byte*>(data), size);
  auto cursor = lumaro::package::ArchiveCursor::Open(archive);
  if (!cursor) {
    Check(size < 2);
    return 0;
  }
  std::size_t consumed = 2;
  for (unsigned i = 0; i < cursor->entry_count(); ++i) {
    auto head = cursor->NextHead();
    if (!head) return 0;
    // The name is borrowed from the archive, right after its 6-byte header.
    const auto* name_start = reinterpret_cast<const std::uint8_t*>(head->name.data());
    Check(name_start == data + consumed + lumaro::package::kEntryHeaderSize);
    consumed += lumaro::package::kEntryHeaderSize + head->name.size();
    Check(!head->name.empty());
    Check(lumaro::package::IsAcceptedEntryName(head->name));
    CheckResolvesInsideRoot(head->name);

    auto bytes = cursor->TakeData(head->data_length);
    if (!bytes) {
      Check(size - consumed < head->data_length);
      return 0;
    }
    Check(bytes->size() == head->data_length);
    Check(reinterpret_cast<const std::uint8_t*>(bytes->data()) == data + consumed || bytes->empty());
    consumed += head->data_length;
  }
  Check(cursor->AtEnd() == (consumed == size));
  return 0;
}
