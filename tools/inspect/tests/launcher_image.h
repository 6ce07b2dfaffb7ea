// Test helper without GoogleTest (the fuzz targets use it too): launcher-like
// images. Real payload records from the pack library, a constants block laid
// out by hand, and a minimal PE32+ wrapper (DOS header, "PE\0\0", COFF and
// optional header, section table) around whatever section data a test wants.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <expected>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "package/identity_block.h"
#include "package/payload_format.h"
#include "platform/byte_order.h"
#include "tools/pack/app_identity.h"
#include "tools/pack/package_record.h"

namespace lumaro::inspect::testing {

using Bytes = std::vector<std::byte>;

inline Bytes AsBytes(std::string_view text) {
  const auto* p = reinterpret_cast<const std::byte*>(text.data());
  return Bytes(p, p + text.size());
}

// Stores the low width (2 or 4) bytes of value at at, growing out to fit.
inline void PutLe(Bytes& out, std::size_t at, std::uint64_t value, int width) {
  if (out.size() < at + width) out.resize(at + width);
  if (width == 2) {
    platform::StoreLe16(out.data() + at, static_cast<std::uint16_t>(value));
  } else {
    platform::StoreLe32(out.data() + at, static_cast<std::uint32_t>(value));
  }
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

inline Bytes Filler(std::size_t size, std::uint8_t value = 0xCC) { return Bytes(size, std::byte(value)); }

struct FakeSection {
  std::string name;
  Bytes data;
};

constexpr std::size_t kFakeFileAlignment = 0x200;

// Section data starts at the first multiple of kFakeFileAlignment after the
// headers; each section's raw size is rounded up to it, its virtual size is
// its data's size.
inline Bytes FakePe(const std::vector<FakeSection>& sections) {
  constexpr std::size_t kPe = 0x40, kOptional = kPe + 24, kOptionalSize = 0xF0, kTable = kOptional + kOptionalSize;
  Bytes image(kTable + 40 * sections.size());
  PutLe(image, 0, 0x5A4D, 2);  // "MZ"
  PutLe(image, 0x3C, kPe, 4);
  PutLe(image, kPe, 0x00004550, 4);  // "PE\0\0"
  PutLe(image, kPe + 4, 0x8664, 2);
  PutLe(image, kPe + 6, sections.size(), 2);
  PutLe(image, kPe + 20, kOptionalSize, 2);
  PutLe(image, kPe + 22, 0x22, 2);
  PutLe(image, kOptional, 0x20B, 2);
  auto align = [](std::size_t n) { return (n + kFakeFileAlignment - 1) / kFakeFileAlignment * kFakeFileAlignment; };
  std::size_t raw = align(image.size());
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const std::size_t header = kTable + 40 * i;
    std::memcpy(image.data() + header, sections[i].name.data(), std::min<std::size_t>(8, sections[i].name.size()));
    PutLe(image, header + 8, sections[i].data.size(), 4);
    PutLe(image, header + 12, 0x1000 * (i + 1), 4);
    PutLe(image, header + 16, align(sections[i].data.size()), 4);
    PutLe(image, header + 20, raw, 4);
    image.resize(raw);
    image.insert(image.end(), sections[i].data.begin(), sections[i].data.end());
    raw = align(image.size());
  }
  image.resize(raw);
  return image;
}

struct Payload {
  Bytes record;
  std::uint32_t package_size;
  std::uint32_t compressed_size;
  std::uint32_t crc32;
  std::string build_id;
  std::size_t chunk_count;
  std::size_t stored_chunks;

  // [0] "LMRC", PACKAGE_SIZE, COMPRESSED_SIZE, PACKAGE_CRC32.
  Bytes Constants() const {
    Bytes out;
    PutLe(out, 0, package::kPayloadConstantsTag, 4);
    PutLe(out, 4 * package::kPackageSizeWord, package_size, 4);
    PutLe(out, 4 * package::kCompressedSizeWord, compressed_size, 4);
    PutLe(out, 4 * package::kPackageCrc32Word, crc32, 4);
    return out;
  }
};

// A real record of archive from the pack library, at a fast level.
inline std::expected<Payload, std::string> BuildPayload(std::span<const std::byte> archive,
                                                       std::uint32_t chunk_size = 0) {
  pack::RecordOptions options;
  options.compress.level = 5;
  options.compress.threads = 1;
  options.compress.chunk_size = chunk_size;
  auto built = pack::BuildPackageRecord(archive, options);
  if (!built) return std::unexpected(built.error().message);
  return Payload{built->record,
                 static_cast<std::uint32_t>(archive.size()),
                 static_cast<std::uint32_t>(built->stream.bytes.size()),
                 built->package_crc32,
                 std::string(built->build_id.data(), built->build_id.size()),
                 built->stream.chunk_count,
                 built->stream.stored_chunks};
}

// Lumaro's own identity block, as the pack tool generates it.
inline Bytes LumaroIdentityBlock() { return package::MakeIdentityBlock(pack::LumaroIdentity().Fields()); }

// Code, then .rdata holding the record, the identity block and the constants
// with filler around them, as the linker lays a launcher out (the identity
// block, alignment, the constants, then the block's size word).
inline Bytes LauncherImage(const Bytes& record, const Bytes& constants, const Bytes& identity = LumaroIdentityBlock()) {
  return FakePe({{".text", Filler(300, 0x90)},
                 {".rdata", Concat({Filler(48), record, Filler(13), identity, Filler(8, 0), constants, Filler(8, 0),
                                    Filler(40)})}});
}

inline std::size_t Find(const Bytes& haystack, const Bytes& needle) {
  const auto at = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end());
  return at == haystack.end() ? std::string::npos : static_cast<std::size_t>(at - haystack.begin());
}

}  // namespace lumaro::inspect::testing
