// The launcher's identity, stamped when an exe is packed: the product name
// (the error dialog's caption), the data folder under LOCALAPPDATA, the
// guard's mutex name and the window title a second launch activates. The
// pack tool generates it beside the payload constants; the launcher reads its
// names from it and the inspector finds it in a built exe by its tag.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace lumaro::package {

// Layout: "LMRI", u32 LE size of the whole block, then each field in the
// order of IdentityFields as a u16 LE byte count and its UTF-8 bytes.
inline constexpr std::array<char, 4> kIdentityTag = {'L', 'M', 'R', 'I'};
inline constexpr std::size_t kIdentityHeadSize = 8;
inline constexpr std::size_t kIdentityFieldCount = 4;

struct IdentityFields {
  std::string_view product_name;
  std::string_view data_folder;
  std::string_view mutex_name;
  std::string_view window_title;

  bool operator==(const IdentityFields&) const = default;
};

// The fields of the block at the start of bytes, viewing into bytes; nullopt
// when the tag, the size or a field does not fit, or a field is empty.
std::optional<IdentityFields> ParseIdentityBlock(std::span<const std::byte> bytes);

// The block for fields; each must be under 64 KiB.
std::vector<std::byte> MakeIdentityBlock(const IdentityFields& fields);

}  // namespace lumaro::package
