// Record and constants search; see payload_locator.h. Sections may overlap
// in a hostile image, so hits are kept by file offset, each counted once.
#include "tools/inspect/payload_locator.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>
#include <vector>

#include "compat/lzms/buffer_header.h"
#include "package/payload_format.h"
#include "platform/byte_order.h"
#include "tools/inspect/le_bytes.h"

namespace lumaro::inspect {
namespace {

using package::kBuildIdOffset;
using package::kBuildIdSize;
using package::kRecordHeadSize;

constexpr std::size_t kMagicSize = sizeof lzms::kBufferMagic;
constexpr std::size_t kConstantsSize = package::kPayloadConstantsWords * 4;
// The record head plus the stream's magic: the least a record occupies.
constexpr std::size_t kRecordProbeSize = kRecordHeadSize + kMagicSize;

struct Hit {
  std::size_t offset;   // in the file
  std::size_t section;  // index into the sections
  bool operator<(const Hit& other) const { return offset < other.offset; }
  bool operator==(const Hit& other) const { return offset == other.offset; }
};

InspectError NotLauncher(std::string why) { return {ErrorClass::kNotLauncher, std::move(why)}; }

std::string Hex(std::size_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%zx", value);
  return text;
}

std::string_view Text(std::span<const std::byte> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::span<const std::byte> Data(std::span<const std::byte> image, const Section& section) {
  return image.subspan(section.offset, section.size);
}

// Every place in the sections where want begins and at least span_size bytes
// of the section remain, passing accept(section data, offset in it).
template <typename Accept>
std::vector<Hit> FindAll(std::span<const std::byte> image, std::span<const Section> sections,
                         std::string_view want, std::size_t span_size, Accept accept) {
  std::vector<Hit> hits;
  for (std::size_t s = 0; s < sections.size(); ++s) {
    const auto data = Data(image, sections[s]);
    const std::string_view text = Text(data);
    for (std::size_t at = text.find(want); at != std::string_view::npos; at = text.find(want, at + 1)) {
      if (Fits(data, at, span_size) && accept(data, at)) hits.push_back({sections[s].offset + at, s});
    }
  }
  std::sort(hits.begin(), hits.end());
  hits.erase(std::unique(hits.begin(), hits.end()), hits.end());
  return hits;
}

bool HasStreamMagic(std::span<const std::byte> data, std::size_t record) {
  return LoadLe32(data, record + kRecordHeadSize) == lzms::kBufferMagic;
}

bool HasHexBuildId(std::span<const std::byte> data, std::size_t record) {
  return package::IsHexText(Text(data.subspan(record + kBuildIdOffset, kBuildIdSize)));
}

bool Overlaps(std::size_t a, std::size_t a_size, std::size_t b, std::size_t b_size) {
  return a < b + b_size && b < a + a_size;
}

// Drops the records that lie inside an earlier record's stream, as far as it
// walks: file data (an app that carries a launcher), not a second record.
// Hits are sorted; a covered hit is not walked, so the walks never overlap.
std::vector<Hit> OutermostRecords(std::span<const std::byte> image, std::span<const Section> sections,
                                  const std::vector<Hit>& hits) {
  std::vector<Hit> outer;
  std::size_t covered_to = 0;
  for (const Hit& hit : hits) {
    if (hit.offset < covered_to) continue;
    outer.push_back(hit);
    const Section& home = sections[hit.section];
    const StreamWalk walk = WalkStream(Data(image, home).subspan(hit.offset - home.offset + kRecordHeadSize));
    covered_to = hit.offset + kRecordHeadSize + (walk.complete() ? walk.length : kMagicSize);
  }
  return outer;
}

std::string Offsets(const std::vector<Hit>& hits) {
  std::string out;
  for (std::size_t i = 0; i < hits.size() && i < 4; ++i) out += (i ? ", " : "") + Hex(hits[i].offset);
  return out + (hits.size() > 4 ? ", ..." : "");
}

}  // namespace

std::expected<PayloadLocation, InspectError> LocatePayload(std::span<const std::byte> image,
                                                           std::span<const Section> sections) {
  const std::string_view record_magic(package::kRecordMagic.data(), package::kRecordMagic.size());
  const auto records = OutermostRecords(
      image, sections, FindAll(image, sections, record_magic, kRecordProbeSize, [](auto data, std::size_t at) {
        return HasStreamMagic(data, at) && HasHexBuildId(data, at);
      }));
  if (records.empty()) {
    const auto loose = FindAll(image, sections, record_magic, kRecordProbeSize,
                               [](auto data, std::size_t at) { return HasStreamMagic(data, at); });
    if (!loose.empty()) {
      return std::unexpected(NotLauncher("no payload record: the one at " + Hex(loose[0].offset) +
                                         " has a BuildId that is not 16 hex digits"));
    }
    return std::unexpected(NotLauncher("no payload record (\"LMR1\", size, 16 hex digits, an LZMS stream)"));
  }
  if (records.size() > 1) {
    return std::unexpected(NotLauncher(std::to_string(records.size()) + " payload records (at " + Offsets(records) +
                                       "); a launcher has exactly one"));
  }

  PayloadLocation where;
  const Hit record = records[0];
  const Section& home = sections[record.section];
  const auto home_data = Data(image, home);
  const std::size_t in_home = record.offset - home.offset;
  where.record_offset = record.offset;
  where.record_section = home.name;
  where.build_id = std::string(Text(home_data.subspan(in_home + kBuildIdOffset, kBuildIdSize)));
  where.record_size = LoadLe32(home_data, in_home + package::kRecordSizeOffset);
  where.stream_area = home_data.subspan(in_home + kRecordHeadSize);
  where.stream = WalkStream(where.stream_area);

  // What is surely the record: its head, and the stream as far as it walks.
  const std::size_t walked = where.stream.complete() ? where.stream.length : kMagicSize;
  const std::size_t record_extent = kRecordHeadSize + walked;

  std::array<std::byte, 4> tag_bytes{};
  platform::StoreLe32(tag_bytes.data(), package::kPayloadConstantsTag);
  const auto tagged = FindAll(image, sections, Text(tag_bytes), kConstantsSize, [](auto, std::size_t) { return true; });
  std::vector<Hit> outside;
  std::vector<Hit> agreeing;
  for (const Hit& hit : tagged) {
    if (Overlaps(hit.offset, kConstantsSize, record.offset, record_extent)) continue;
    outside.push_back(hit);
    const auto words = image.subspan(hit.offset, kConstantsSize);
    const std::uint32_t package_size = LoadLe32(words, 4 * package::kPackageSizeWord);
    const std::uint32_t compressed_size = LoadLe32(words, 4 * package::kCompressedSizeWord);
    if (package_size == where.record_size && compressed_size <= where.stream_area.size() &&
        !Overlaps(hit.offset, kConstantsSize, record.offset, kRecordHeadSize + compressed_size)) {
      agreeing.push_back(hit);
    }
  }
  Hit constants{};
  if (agreeing.size() == 1) {
    constants = agreeing[0];
  } else if (agreeing.size() > 1) {
    return std::unexpected(NotLauncher(std::to_string(agreeing.size()) + " constants blocks agree with the record (at " +
                                       Offsets(agreeing) + "); a launcher has exactly one"));
  } else if (outside.size() == 1) {
    constants = outside[0];
  } else if (outside.empty()) {
    return std::unexpected(NotLauncher("no constants block (\"LMRC\" and three sizes) outside the payload record"));
  } else {
    return std::unexpected(NotLauncher(std::to_string(outside.size()) + " blocks tagged \"LMRC\" (at " +
                                       Offsets(outside) + ") and none agrees with the record's size"));
  }

  const auto words = image.subspan(constants.offset, kConstantsSize);
  where.constants_offset = constants.offset;
  where.constants_section = sections[constants.section].name;
  where.package_size = LoadLe32(words, 4 * package::kPackageSizeWord);
  where.compressed_size = LoadLe32(words, 4 * package::kCompressedSizeWord);
  where.package_crc32 = LoadLe32(words, 4 * package::kPackageCrc32Word);
  return where;
}

std::expected<PayloadLocation, InspectError> LocatePayload(std::span<const std::byte> image) {
  const auto sections = ReadSections(image);
  if (!sections) return std::unexpected(sections.error());
  return LocatePayload(image, *sections);
}

}  // namespace lumaro::inspect
