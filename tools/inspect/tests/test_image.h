// Test helper: launcher-like images (launcher_image.h) with GoogleTest's
// checks on what builds them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "package/payload_format.h"
#include "tools/inspect/tests/launcher_image.h"
#include "tools/pack/archive_writer.h"
#include "tools/pack/package_record.h"

namespace lumaro::inspect::testing {

inline Bytes RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes out(size);
  for (std::byte& b : out) b = std::byte(rng() & 0xFF);
  return out;
}

// name -> data, written in the given order with the format's own limits only.
inline Bytes Archive(const std::vector<std::pair<std::string, Bytes>>& files) {
  std::vector<pack::ArchiveInput> inputs;
  for (const auto& [name, data] : files) inputs.push_back({name, data});
  auto archive = pack::WriteArchive(inputs);
  EXPECT_TRUE(archive.has_value());
  return archive ? *archive : Bytes{};
}

inline Payload MakePayload(std::span<const std::byte> archive, std::uint32_t chunk_size = 0) {
  auto built = BuildPayload(archive, chunk_size);
  EXPECT_TRUE(built.has_value()) << (built ? "" : built.error());
  return built ? std::move(*built) : Payload{};
}

}  // namespace lumaro::inspect::testing
