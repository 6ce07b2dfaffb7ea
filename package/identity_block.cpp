// Identity block reader and writer; see identity_block.h.
#include "package/identity_block.h"

#include <cstring>

#include "platform/byte_order.h"

namespace lumaro::package {
namespace {

std::string_view* FieldAt(IdentityFields& fields, std::size_t i) {
  std::string_view* all[kIdentityFieldCount] = {&fields.product_name, &fields.data_folder, &fields.mutex_name,
                                                &fields.window_title};
  return all[i];
}

}  // namespace

std::optional<IdentityFields> ParseIdentityBlock(std::span<const std::byte> bytes) {
  if (bytes.size() < kIdentityHeadSize ||
      std::memcmp(bytes.data(), kIdentityTag.data(), kIdentityTag.size()) != 0) {
    return std::nullopt;
  }
  const std::uint32_t size = platform::LoadLe32(bytes.data() + kIdentityTag.size());
  if (size < kIdentityHeadSize || size > bytes.size()) return std::nullopt;
  const std::span<const std::byte> block = bytes.first(size);
  IdentityFields fields;
  std::size_t at = kIdentityHeadSize;
  for (std::size_t i = 0; i < kIdentityFieldCount; ++i) {
    if (block.size() - at < 2) return std::nullopt;
    const std::size_t length = platform::LoadLe16(block.data() + at);
    at += 2;
    if (length == 0 || block.size() - at < length) return std::nullopt;
    *FieldAt(fields, i) = {reinterpret_cast<const char*>(block.data() + at), length};
    at += length;
  }
  if (at != block.size()) return std::nullopt;
  return fields;
}

std::vector<std::byte> MakeIdentityBlock(const IdentityFields& fields) {
  IdentityFields copy = fields;
  std::vector<std::byte> block(kIdentityHeadSize);
  std::memcpy(block.data(), kIdentityTag.data(), kIdentityTag.size());
  for (std::size_t i = 0; i < kIdentityFieldCount; ++i) {
    const std::string_view text = *FieldAt(copy, i);
    const std::size_t at = block.size();
    block.resize(at + 2 + text.size());
    platform::StoreLe16(block.data() + at, static_cast<std::uint16_t>(text.size()));
    if (!text.empty()) std::memcpy(block.data() + at + 2, text.data(), text.size());
  }
  platform::StoreLe32(block.data() + kIdentityTag.size(), static_cast<std::uint32_t>(block.size()));
  return block;
}

}  // namespace lumaro::package
