// lmr-record (tests only): wraps arbitrary archive bytes into a payload record
// and constants, with overrides the end-to-end tests need to build broken
// packages: any BuildId bytes, a PACKAGE_SIZE that disagrees with the stream,
// and a damaged stream.
#include <charconv>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/pack/package_record.h"
#include "tools/pack/app_identity.h"
#include "tools/pack/payload_output.h"

namespace {

using namespace lumaro::pack;

constexpr std::string_view kUsage =
    "usage: lmr-record --archive RAW.bin --record OUT.bin --constants OUT.cpp\n"
    "         [--build-id-bytes HEX32 | --build-id TEXT16] [--package-size N]\n"
    "         [--corrupt-stream] [--chunk-size BYTES] [--level N] [--no-verify]\n"
    "--build-id-bytes: 16 raw BuildId bytes as 32 hex digits; --build-id: 16 bytes\n"
    "of text, used as is; default: from the archive's SHA-256. --package-size sets\n"
    "PACKAGE_SIZE in the constants only. --corrupt-stream damages the first\n"
    "chunk record so that it runs past the end. Exit: 0 ok, 2 usage, 4 I/O.\n";

int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "lmr-record: %s\n", message.c_str());
  return code;
}

std::optional<std::uint64_t> Number(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<BuildIdBytes> HexBytes(std::string_view hex) {
  BuildIdBytes id{};
  if (hex.size() != 2 * id.size()) return std::nullopt;
  for (std::size_t i = 0; i < id.size(); ++i) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(hex.data() + 2 * i, hex.data() + 2 * i + 2, value, 16);
    if (error != std::errc() || end != hex.data() + 2 * i + 2) return std::nullopt;
    id[i] = static_cast<char>(value);
  }
  return id;
}

}  // namespace

int main(int argc, char** argv) {
  std::string archive_path, record_path, constants_path;
  std::optional<std::uint64_t> package_size;
  bool corrupt = false;
  std::optional<BuildIdBytes> build_id;
  RecordOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool has_value = i + 1 < argc;
    const std::string_view value = has_value ? argv[i + 1] : "";
    if (arg == "--corrupt-stream") {
      corrupt = true;
      continue;
    }
    if (arg == "--no-verify") {
      options.verify = false;
      continue;
    }
    if (!has_value) return Fail(2, std::string(arg) + " needs a value\n" + std::string(kUsage));
    ++i;
    if (arg == "--archive") {
      archive_path = value;
    } else if (arg == "--record") {
      record_path = value;
    } else if (arg == "--constants") {
      constants_path = value;
    } else if (arg == "--build-id-bytes") {
      build_id = HexBytes(value);
      if (!build_id) return Fail(2, "--build-id-bytes takes 32 hex digits");
    } else if (arg == "--build-id") {
      if (value.size() != 16) return Fail(2, "--build-id takes 16 bytes of text");
      build_id.emplace();
      std::copy(value.begin(), value.end(), build_id->begin());
    } else if (arg == "--package-size") {
      package_size = Number(value);
      if (!package_size) return Fail(2, "--package-size takes a number");
    } else if (arg == "--chunk-size") {
      auto size = Number(value);
      if (!size || !IsValidChunkSize(*size)) return Fail(2, "--chunk-size takes a multiple of 65536 up to 64 MiB");
      options.compress.chunk_size = static_cast<std::uint32_t>(*size);
    } else if (arg == "--level") {
      auto level = Number(value);
      if (!level || *level < 1 || *level > 1000) return Fail(2, "--level takes 1 to 1000");
      options.compress.level = static_cast<unsigned>(*level);
    } else {
      return Fail(2, "unknown argument " + std::string(arg) + "\n" + std::string(kUsage));
    }
  }
  if (archive_path.empty() || record_path.empty() || constants_path.empty()) {
    return Fail(2, std::string("--archive, --record and --constants are required\n") + std::string(kUsage));
  }

  std::ifstream in(archive_path, std::ios::binary);
  if (!in) return Fail(4, "cannot read " + archive_path);
  const std::vector<char> raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return Fail(4, "cannot read " + archive_path);
  const auto archive = std::as_bytes(std::span(raw));

  auto packed = BuildPackageRecord(archive, options);
  if (!packed) return Fail(ExitCode(packed.error().error_class), packed.error().message);
  if (build_id) {
    // The pack library always derives the id from the content; a test that
    // needs another one patches it in, as it would into a built exe.
    std::memcpy(packed->record.data() + lumaro::package::kBuildIdOffset, build_id->data(), build_id->size());
  }
  if (corrupt) {
    if (packed->stream.chunk_count == 0) return Fail(2, "--corrupt-stream needs a non-empty archive");
    // A flipped bit inside LZMS data may still decode (to other bytes: LZMS
    // has no checksum), so damage the container instead: the first chunk
    // claims far more bytes than the stream holds, which every decoder must
    // refuse.
    auto& record = packed->record;
    const std::size_t first_chunk = kRecordHeadSize + lzms::kBufferHeaderSize;
    for (std::size_t i = 0; i < lzms::kChunkRecordHeadSize; ++i) record[first_chunk + i] = std::byte{0xF0};
  }
  if (auto written = WriteFileIfChanged(record_path, std::span<const std::byte>(packed->record)); !written) {
    return Fail(4, written.error().message);
  }
  const std::string source = ConstantsSource("lmr-record", package_size.value_or(archive.size()),
                                             packed->stream.bytes.size(), packed->package_crc32,
                                             LumaroIdentity().Fields());
  if (auto written = WriteFileIfChanged(constants_path, source); !written) return Fail(4, written.error().message);
  return 0;
}
