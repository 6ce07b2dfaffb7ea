// lmr-record (tests only): wraps arbitrary archive bytes into a payload record
// and constants, with overrides the end-to-end tests need to build broken
// packages: any BuildId bytes, a PACKAGE_SIZE that disagrees with the stream,
// and a damaged stream. Exit statuses are the vendor tools' (--help).
#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/common/command_line.h"
#include "tools/common/exit_status.h"
#include "tools/pack/package_record.h"
#include "tools/pack/app_identity.h"
#include "tools/pack/payload_output.h"

namespace {

using namespace lumaro::pack;

int Fail(ErrorClass error_class, const std::string& message) {
  std::fprintf(stderr, "lmr-record: %s\n", message.c_str());
  return ExitCode(error_class);
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

struct CommandLine {
  std::string archive_path;
  std::string record_path;
  std::string constants_path;
  std::optional<std::uint64_t> package_size;
  std::optional<BuildIdBytes> build_id;
  bool corrupt = false;
  bool no_verify = false;
  RecordOptions options;
};

void DefineOptions(CLI::App& app, CommandLine& line) {
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option("--archive", line.archive_path, "the archive bytes to wrap")->required()->type_name("RAW.bin");
  app.add_option("--record", line.record_path, "the payload record to write")->required()->type_name("OUT.bin");
  app.add_option("--constants", line.constants_path, "the constants source to write")
      ->required()
      ->type_name("OUT.cpp");
  app.add_option_function<std::string>(
         "--build-id-bytes",
         [&line](const std::string& hex) {
           line.build_id = HexBytes(hex);
           if (!line.build_id) throw CLI::ValidationError("--build-id-bytes", "takes 32 hex digits");
         },
         "16 raw BuildId bytes as 32 hex digits (default: from the archive's SHA-256)")
      ->type_name("HEX32");
  app.add_option_function<std::string>(
         "--build-id",
         [&line](const std::string& text) {
           if (text.size() != 16) throw CLI::ValidationError("--build-id", "takes 16 bytes of text");
           line.build_id.emplace();
           std::copy(text.begin(), text.end(), line.build_id->begin());
         },
         "16 bytes of text, used as is")
      ->type_name("TEXT16");
  app.add_option_function<std::string>(
         "--package-size",
         [&line](const std::string& text) {
           line.package_size = Number(text);
           if (!line.package_size) throw CLI::ValidationError("--package-size", "takes a number");
         },
         "PACKAGE_SIZE in the constants only")
      ->type_name("N");
  app.add_flag("--corrupt-stream", line.corrupt, "damage the first chunk record so that it runs past the end");
  app.add_option_function<std::string>(
         "--chunk-size",
         [&line](const std::string& text) {
           const auto size = Number(text);
           if (!size || !IsValidChunkSize(*size)) {
             throw CLI::ValidationError("--chunk-size", "takes a multiple of 65536 up to 64 MiB");
           }
           line.options.compress.chunk_size = static_cast<std::uint32_t>(*size);
         },
         "uncompressed bytes per chunk")
      ->type_name("BYTES");
  app.add_option_function<std::string>(
         "--level",
         [&line](const std::string& text) {
           const auto level = Number(text);
           if (!level || *level < 1 || *level > 1000) throw CLI::ValidationError("--level", "takes 1 to 1000");
           line.options.compress.level = static_cast<unsigned>(*level);
         },
         "LZMS compression level")
      ->type_name("N");
  app.add_flag("--no-verify", line.no_verify, "skip decoding the stream again");
  app.footer(std::string(lumaro::tools::kExitStatusHelp));
}

int Run(int argc, char** argv) {
  CLI::App app{"Wraps archive bytes into a payload record and constants, for the tests.", "lmr-record"};
  CommandLine line;
  DefineOptions(app, line);
  if (const auto status = lumaro::tools::ParseCommandLine(app, argc, argv, "lmr-record", "lmr-record")) return *status;
  line.options.verify = !line.no_verify;
  std::ifstream in(line.archive_path, std::ios::binary);
  if (!in) return Fail(ErrorClass::kIo, "cannot read " + line.archive_path);
  const std::vector<char> raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return Fail(ErrorClass::kIo, "cannot read " + line.archive_path);
  const auto archive = std::as_bytes(std::span(raw));

  auto packed = BuildPackageRecord(archive, line.options);
  if (!packed) return Fail(packed.error().error_class, packed.error().message);
  if (const auto& build_id = line.build_id) {
    // The pack library always derives the id from the content; a test that
    // needs another one patches it in, as it would into a built exe.
    std::memcpy(packed->record.data() + lumaro::package::kBuildIdOffset, build_id->data(), build_id->size());
  }
  if (line.corrupt) {
    if (packed->stream.chunk_count == 0) return Fail(ErrorClass::kUsage, "--corrupt-stream needs a non-empty archive");
    // A flipped bit inside LZMS data may still decode (to other bytes: LZMS
    // has no checksum), so damage the container instead: the first chunk
    // claims far more bytes than the stream holds, which every decoder must
    // refuse.
    auto& record = packed->record;
    const std::size_t first_chunk = kRecordHeadSize + lzms::kBufferHeaderSize;
    for (std::size_t i = 0; i < lzms::kChunkRecordHeadSize; ++i) record[first_chunk + i] = std::byte{0xF0};
  }
  if (auto written = WriteFileIfChanged(line.record_path, std::span<const std::byte>(packed->record)); !written) {
    return Fail(written.error().error_class, written.error().message);
  }
  const std::string source = ConstantsSource("lmr-record", line.package_size.value_or(archive.size()),
                                             packed->stream.bytes.size(), packed->package_crc32,
                                             LumaroIdentity().Fields());
  if (auto written = WriteFileIfChanged(line.constants_path, source); !written) {
    return Fail(written.error().error_class, written.error().message);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    return Fail(ErrorClass::kOutOfMemory, "out of memory");
  }
}
