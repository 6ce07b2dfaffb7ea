// lmr-pack: turns an app folder into the launcher's payload record and the
// generated size constants. See --help for the command line and exit codes.
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <new>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/common/one_line.h"
#include "tools/pack/app_folder.h"
#include "tools/pack/lzms_stream.h"
#include "tools/pack/native_addons.h"
#include "tools/pack/node_exe_entry.h"
#include "tools/pack/package_record.h"
#include "tools/pack/payload_output.h"
#include "tools/pack/progress_bar.h"
#include "tools/pack/release_version.h"

namespace lumaro::pack {
namespace {

constexpr std::string_view kHelp = R"(Usage: lmr-pack [options] APP_DIR --record OUT.bin --constants OUT.cpp

Packs APP_DIR (which must hold home.mjs and, unless --node-exe gives it,
node.exe at its top) into the launcher's payload record: the package
archive, LZMS-compressed in the Windows Compression API's buffer format, behind a 24-byte head with the
BuildId (the first 16 hex digits of the archive's SHA-256, so that
different content never reuses an installed runtime). Files are stored sorted by name bytes with "/" between folders, so
the same folder always gives the same record. Names that the launcher or
Windows could not reproduce are refused. Empty folders cannot be carried;
the summary lists them.

Outputs (each written only when its content changes):
  --record FILE         the payload record
  --constants FILE      C++ source defining PACKAGE_SIZE, COMPRESSED_SIZE and
                        PACKAGE_CRC32 (the CRC-32 the launcher checks)
  --archive-out FILE    the raw, uncompressed package archive
  --print-build-id      print the BuildId on stdout
  --version-rc FILE     resource script of the exe's version information,
                        for windres at link time

Options:
  --version VERSION     the release's version: one to four numbers of 0-65535,
                        maybe with a semver suffix (2.3.4, 1.5.0-beta.2).
                        Default: APP_DIR/package.json's "version", else 0.0.0
  --node-exe FILE       pack FILE as the top-level node.exe; APP_DIR must not
                        hold one
  --level N             LZMS compression level, 1 and up (default 50)
  --chunk-size SIZE     uncompressed bytes per chunk: a multiple of 64K from
                        1M to 64M (suffixes K and M are binary). Default:
                        equal chunks of at most 24M, rounded up to 64K; an
                        archive under 1 MiB is one chunk
  --best                the smallest output: 64M chunks at level %BEST%,
                        beyond which the size stops shrinking (slower;
                        --level and --chunk-size still apply if given)
  --threads N           compression threads (default: all cores); the
                        output is the same whatever the thread count
  --no-verify           skip decoding the stream and comparing it with the
                        archive
  --quiet               no progress bar and no summary
  --help                this text

Progress goes to stderr when it is a terminal; the one-line summary,
warnings and errors go to stderr. Native addons (*.node) that are not for
Windows x64 are named in a warning, even with --quiet; packing goes on.

Exit codes:
  0  packed
  1  compression or verification failed
  2  usage error (bad or missing arguments)
  3  bad input (the folder cannot be packed as it is; the message names
     the path)
  4  I/O failure (reading the folder or writing an output)
  5  out of memory
)";

struct CommandLine {
  std::string app_dir;
  std::optional<std::string> record;
  std::optional<std::string> constants;
  std::optional<std::string> archive_out;
  std::optional<std::string> version_rc;
  std::optional<std::string> node_exe;
  std::optional<ReleaseVersion> version;
  bool print_build_id = false;
  bool verify = true;
  bool quiet = false;
  bool help = false;
  bool best = false;
  bool level_given = false;
  CompressOptions compress;
};

PackError Usage(std::string message) { return {ErrorClass::kUsage, std::move(message)}; }

std::optional<std::uint64_t> ParseNumber(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<std::uint64_t> ParseSize(std::string_view text) {
  std::uint64_t scale = 1;
  if (!text.empty() && (text.back() == 'K' || text.back() == 'k')) scale = 1024;
  if (!text.empty() && (text.back() == 'M' || text.back() == 'm')) scale = 1024 * 1024;
  if (scale != 1) text.remove_suffix(1);
  auto value = ParseNumber(text);
  if (!value || *value > (std::uint64_t{1} << 40)) return std::nullopt;
  return *value * scale;
}

std::expected<CommandLine, PackError> ParseCommandLine(int argc, char** argv) {
  CommandLine line;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> std::expected<std::string, PackError> {
      if (i + 1 >= argc) return std::unexpected(Usage(std::string(arg) + " needs a value"));
      return std::string(argv[++i]);
    };
    auto take = [&](std::optional<std::string>& into) -> std::expected<void, PackError> {
      auto v = value();
      if (!v) return std::unexpected(v.error());
      into = *v;
      return {};
    };
    std::expected<void, PackError> ok;
    if (arg == "--help" || arg == "-h") {
      line.help = true;
    } else if (arg == "--record") {
      ok = take(line.record);
    } else if (arg == "--constants") {
      ok = take(line.constants);
    } else if (arg == "--archive-out") {
      ok = take(line.archive_out);
    } else if (arg == "--version-rc") {
      ok = take(line.version_rc);
    } else if (arg == "--node-exe") {
      ok = take(line.node_exe);
    } else if (arg == "--version") {
      auto v = value();
      if (!v) return std::unexpected(v.error());
      auto version = ParseReleaseVersion(*v);
      if (!version) return std::unexpected(Usage(version.error()));
      line.version = std::move(*version);
    } else if (arg == "--print-build-id") {
      line.print_build_id = true;
    } else if (arg == "--no-verify") {
      line.verify = false;
    } else if (arg == "--quiet") {
      line.quiet = true;
    } else if (arg == "--best") {
      line.best = true;
    } else if (arg == "--build-id" || arg.starts_with("--build-id=")) {
      return std::unexpected(Usage("--build-id is not accepted: the BuildId always comes from the package's "
                                   "content, so that a changed package never reuses an installed runtime"));
    } else if (arg == "--level" || arg == "--threads" || arg == "--chunk-size") {
      auto v = value();
      if (!v) return std::unexpected(v.error());
      if (arg == "--level") {
        auto level = ParseNumber(*v);
        if (!level || *level < 1 || *level > 1000) return std::unexpected(Usage("--level takes a number from 1 to 1000"));
        line.compress.level = static_cast<unsigned>(*level);
        line.level_given = true;
      } else if (arg == "--threads") {
        auto threads = ParseNumber(*v);
        if (!threads || *threads < 1 || *threads > 1024) return std::unexpected(Usage("--threads takes a number from 1 to 1024"));
        line.compress.threads = static_cast<unsigned>(*threads);
      } else if (arg == "--chunk-size") {
        auto size = ParseSize(*v);
        if (!size || *size < kMinAutoChunkSize || !IsValidChunkSize(*size)) {
          return std::unexpected(Usage("--chunk-size takes a multiple of 64K from 1M to 64M"));
        }
        line.compress.chunk_size = static_cast<std::uint32_t>(*size);
      }
    } else if (arg.starts_with("-") && arg != "-") {
      return std::unexpected(Usage("unknown option " + std::string(arg)));
    } else {
      positional.emplace_back(arg);
    }
    if (!ok) return std::unexpected(ok.error());
  }
  if (line.help) return line;
  if (line.best) {
    if (!line.level_given) line.compress.level = kBestLevel;
    if (line.compress.chunk_size == 0) line.compress.chunk_size = kMaxChunkSize;
  }
  if (positional.size() != 1) return std::unexpected(Usage("give exactly one APP_DIR"));
  line.app_dir = positional[0];
  if (!line.record && !line.constants && !line.archive_out && !line.version_rc && !line.print_build_id) {
    return std::unexpected(Usage("nothing to write: give --record and --constants"));
  }
  return line;
}

std::string Megabytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

// The version from the command line, else package.json's, else none; what
// the summary says of it.
std::expected<std::pair<ReleaseVersion, std::string>, PackError> ChooseVersion(const CommandLine& line,
                                                                              const AppFolder& folder) {
  if (line.version) {
    return std::pair{*line.version, "version " + line.version->text + " (" + NumericVersion(*line.version) + ")"};
  }
  auto from_json = PackageJsonVersion(folder);
  if (!from_json) return std::unexpected(from_json.error());
  if (*from_json) {
    auto version = ParseReleaseVersion(**from_json);
    if (!version) {
      return std::unexpected(PackError{ErrorClass::kBadInput, version.error() + " (\"version\" of " +
                                       (std::filesystem::path(line.app_dir) / "package.json").string() + ")"});
    }
    return std::pair{*version, "version " + version->text + " (" + NumericVersion(*version) + ", package.json)"};
  }
  auto none = ParseReleaseVersion(kNoVersion);
  return std::pair{*none, "no version given (--version or package.json): the exe says " + NumericVersion(*none)};
}

// Named one by one up to this many; the rest are counted.
constexpr std::size_t kAddonsNamed = 10;
// Above this many files the summary says that bundling pays: the first
// launch writes and flushes each file on its own.
constexpr std::size_t kManyFiles = 3000;

std::expected<std::string, PackError> Run(const CommandLine& line) {
  const auto start = std::chrono::steady_clock::now();
  ProgressBar progress(!line.quiet);

  std::vector<SourceFile> extra;
  if (line.node_exe) {
    auto node = NodeExeEntry(line.app_dir, *line.node_exe);
    if (!node) return std::unexpected(node.error());
    extra.push_back(std::move(*node));
  }
  auto folder = ScanAppFolder(line.app_dir, extra);
  if (!folder) return std::unexpected(folder.error());
  // package.json is read as the scan saw it, before anything is packed.
  auto version = ChooseVersion(line, *folder);
  if (!version) return std::unexpected(version.error());
  auto addons = FindForeignAddons(*folder);
  if (!addons) return std::unexpected(addons.error());
  for (std::size_t i = 0; i < std::min(addons->size(), kAddonsNamed); ++i) {
    std::fprintf(stderr, "lmr-pack: warning: %s is %s, not a Windows x64 addon; it fails to load on Windows\n",
                 (*addons)[i].name.c_str(), (*addons)[i].kind.c_str());
  }
  if (addons->size() > kAddonsNamed) {
    std::fprintf(stderr, "lmr-pack: warning: %zu more native addons not for Windows x64\n",
                 addons->size() - kAddonsNamed);
  }
  progress.Phase("reading", folder->files.size(), "files");
  auto archive = ReadAppArchive(*folder, [&](std::size_t done, std::size_t) { progress.Update(done); });
  if (!archive) return std::unexpected(archive.error());

  RecordOptions options;
  options.compress = line.compress;
  options.verify = line.verify;
  const std::uint32_t chunk_size = line.compress.chunk_size
                                       ? line.compress.chunk_size
                                       : ChooseChunkSize(archive->size());
  const std::size_t chunks = (archive->size() + chunk_size - 1) / chunk_size;
  progress.Phase("compressing", chunks, "chunks");
  options.compress.on_chunk = [&](std::size_t done, std::size_t) { progress.Update(done); };
  options.on_verify = [&] { progress.Phase("verifying", 1, "streams"); };
  auto packed = BuildPackageRecord(*archive, options);
  if (!packed) return std::unexpected(packed.error());
  progress.Clear();

  if (line.archive_out) {
    if (auto written = WriteFileIfChanged(*line.archive_out, std::span<const std::byte>(*archive)); !written) {
      return std::unexpected(written.error());
    }
  }
  if (line.record) {
    if (auto written = WriteFileIfChanged(*line.record, std::span<const std::byte>(packed->record)); !written) {
      return std::unexpected(written.error());
    }
  }
  if (line.version_rc) {
    if (auto written = WriteFileIfChanged(*line.version_rc, VersionResourceScript(version->first)); !written) {
      return std::unexpected(written.error());
    }
  }
  if (line.constants) {
    const std::string source =
        ConstantsSource("lmr-pack", archive->size(), packed->stream.bytes.size(), packed->package_crc32);
    if (auto written = WriteFileIfChanged(*line.constants, source); !written) {
      return std::unexpected(written.error());
    }
  }

  const std::string build_id(packed->build_id.begin(), packed->build_id.end());
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  char summary[512];
  std::snprintf(summary, sizeof summary,
                "lmr-pack: %zu files, %s -> %s compressed (%.1f%%), %zu x %u KiB chunks, BuildId %s, %.1f s",
                folder->files.size(), Megabytes(archive->size()).c_str(),
                Megabytes(packed->stream.bytes.size()).c_str(),
                archive->empty() ? 0.0 : 100.0 * packed->stream.bytes.size() / archive->size(),
                packed->stream.chunk_count, packed->stream.chunk_size / 1024, build_id.c_str(), seconds);
  std::string line_out = summary;
  line_out += ", " + version->second;
  if (!addons->empty()) {
    line_out += "; " + std::to_string(addons->size()) + " native addon warning(s)";
  }
  if (folder->files.size() > kManyFiles) {
    line_out += "; " + std::to_string(folder->files.size()) +
                " files make a slow first launch (it writes and flushes each on its own): "
                "bundle the app's JavaScript into one file";
  }
  if (!folder->empty_folders.empty()) {
    line_out += "; " + std::to_string(folder->empty_folders.size()) + " empty folder(s) not carried: ";
    const std::size_t shown = std::min<std::size_t>(folder->empty_folders.size(), 5);
    for (std::size_t i = 0; i < shown; ++i) line_out += (i ? ", " : "") + folder->empty_folders[i];
    if (shown < folder->empty_folders.size()) line_out += ", ...";
  }
  if (!line.quiet) std::fprintf(stderr, "%s\n", line_out.c_str());
  return build_id;
}

}  // namespace
}  // namespace lumaro::pack

int main(int argc, char** argv) try {
  using namespace lumaro::pack;
  auto line = ParseCommandLine(argc, argv);
  if (!line) {
    std::fprintf(stderr, "lmr-pack: %s\nTry lmr-pack --help.\n", line.error().message.c_str());
    return ExitCode(line.error().error_class);
  }
  if (line->help) {
    std::string help(kHelp);
    help.replace(help.find("%BEST%"), 6, std::to_string(kBestLevel));
    std::fwrite(help.data(), 1, help.size(), stdout);
    return 0;
  }
  auto build_id = Run(*line);
  if (!build_id) {
    // Messages carry the folder's names as they are: escape them for the terminal.
    std::fprintf(stderr, "lmr-pack: %s\n", lumaro::tools::OneLine(build_id.error().message).c_str());
    return ExitCode(build_id.error().error_class);
  }
  if (line->print_build_id) std::printf("%s\n", build_id->c_str());
  return 0;
} catch (const std::bad_alloc&) {
  std::fputs("lmr-pack: out of memory\n", stderr);
  return lumaro::pack::ExitCode(lumaro::pack::ErrorClass::kOutOfMemory);
}
