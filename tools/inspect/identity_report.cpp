// Identity block lookup and report lines; see identity_report.h.
#include "tools/inspect/identity_report.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "package/payload_format.h"
#include "tools/common/one_line.h"
#include "tools/inspect/le_bytes.h"
#include "tools/inspect/pe_sections.h"
#include "tools/inspect/version_resource.h"

namespace lumaro::inspect {
namespace {

constexpr std::size_t kConstantsSize = package::kPayloadConstantsWords * 4;

// Where a block of size bytes at offset stands to the constants block at
// constants: close enough before or after it to be its neighbour in the
// generated translation unit.
bool BesideConstants(std::size_t offset, std::size_t size, std::size_t constants) {
  const std::size_t end = offset + size;
  if (end <= constants) return constants - end <= kIdentityGapLimit;
  const std::size_t constants_end = constants + kConstantsSize;
  return offset >= constants_end && offset - constants_end <= kIdentityGapLimit;
}

}  // namespace

std::expected<package::IdentityFields, std::string> FindIdentity(std::span<const std::byte> image,
                                                                 const PayloadLocation& where) {
  auto sections = ReadSections(image);
  if (!sections) return std::unexpected(sections.error().message);
  // Stored chunks can carry another exe's block: what lies inside the
  // record's stream, as far as it walks, is file data.
  const std::size_t record_end =
      where.record_offset + package::kRecordHeadSize + (where.stream.complete() ? where.stream.length : 0);
  const std::string_view tag(package::kIdentityTag.data(), package::kIdentityTag.size());
  std::vector<std::size_t> offsets;
  std::optional<package::IdentityFields> found;
  for (const Section& section : *sections) {
    const auto data = image.subspan(section.offset, section.size);
    // Only the section that holds the constants block.
    if (where.constants_offset < section.offset ||
        !Fits(data, where.constants_offset - section.offset, kConstantsSize)) {
      continue;
    }
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    for (std::size_t at = text.find(tag); at != std::string_view::npos; at = text.find(tag, at + 1)) {
      const std::size_t offset = section.offset + at;
      if (offset >= where.record_offset && offset < record_end) continue;
      if (std::find(offsets.begin(), offsets.end(), offset) != offsets.end()) continue;
      const auto fields = package::ParseIdentityBlock(data.subspan(at));
      if (!fields || !BesideConstants(offset, LoadLe32(data, at + 4), where.constants_offset)) continue;
      offsets.push_back(offset);
      found = fields;
    }
  }
  if (offsets.empty()) return std::unexpected("no identity block beside the constants");
  if (offsets.size() > 1) {
    return std::unexpected(std::to_string(offsets.size()) + " identity blocks beside the constants");
  }
  return *found;
}

std::string FormatIdentity(std::span<const std::byte> image,
                           const std::expected<package::IdentityFields, std::string>& identity) {
  if (!identity) return "identity: unreadable (" + tools::OneLine(identity.error()) + ")\n";
  const auto version = ReadExeVersion(image);
  const std::string company = version && *version ? (*version)->company : "";
  std::string out;
  auto line = [&](std::string_view key, std::string_view value) {
    out.append(key).append(": ").append(tools::OneLine(value)).append("\n");
  };
  line("product", identity->product_name);
  line("company", company.empty() ? "none" : company);
  line("data-folder", identity->data_folder);
  line("mutex-name", identity->mutex_name);
  line("window-title", identity->window_title);
  return out;
}

}  // namespace lumaro::inspect
