// lmr-pack: turns an app folder into the launcher's payload record and the
// generated size constants. See --help for the command line and exit codes.
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/common/command_line.h"
#include "tools/common/exit_status.h"
#include "tools/common/one_line.h"
#include "tools/pack/app_folder.h"
#include "tools/pack/app_identity.h"
#include "tools/pack/chunk_cache.h"
#include "tools/pack/lzms_stream.h"
#include "tools/pack/native_addons.h"
#include "tools/pack/node_exe_entry.h"
#include "tools/pack/package_record.h"
#include "tools/pack/payload_output.h"
#include "tools/pack/progress_bar.h"
#include "tools/pack/release_file.h"
#include "tools/pack/release_version.h"
#include "tools/pack/update_settings.h"

namespace lumaro::pack {
namespace {

constexpr std::string_view kDescription = R"(Packs APP_DIR (which must hold home.mjs and, unless --node-exe gives it,
node.exe at its top) into the launcher's payload record: the package
archive, LZMS-compressed in the Windows Compression API's buffer format,
behind a 24-byte head with the BuildId (the first 16 hex digits of the
archive's SHA-256, so that different content never reuses an installed
runtime). Files are stored node.exe first, then node_modules, then the
app's own files, each group sorted by name bytes with "/" between folders,
so the same folder always gives the same record and a change to the app
touches only the chunks from it to the end. A release with a version
carries .lumaro/release.json, {"version":"..."}; with --update-feed, also
its "update" settings, and the update helper as .lumaro/update.exe. Names
that the launcher or Windows could not reproduce are refused. Empty folders cannot be carried;
the summary lists them.)";

constexpr std::string_view kFooter = R"(Progress goes to stderr when it is a terminal; the one-line summary,
warnings and errors go to stderr. Native addons (*.node) that are not for
Windows x64 are named in a warning, even with --quiet; empty folders, which
cannot be carried, are listed in the summary. Packing goes on, unless
--strict makes either a refusal.)";

constexpr std::string_view kOutputs = "Outputs (each written only when its content changes)";

struct CommandLine {
  std::string app_dir;
  std::optional<std::string> record;
  std::optional<std::string> constants;
  std::optional<std::string> archive_out;
  std::optional<std::string> version_rc;
  std::optional<std::string> node_exe;
  std::optional<std::string> version_text;
  std::optional<ReleaseVersion> version;
  IdentityOptions identity;
  UpdateFlags update;
  bool print_build_id = false;
  bool no_verify = false;
  bool quiet = false;
  bool strict = false;
  bool best = false;
  bool level_given = false;
  CompressOptions compress;
  std::optional<std::string> cache;
  bool no_cache = false;
};

PackError Usage(std::string message) { return {ErrorClass::kUsage, std::move(message)}; }

// The command the vendor typed, for messages that send them to the help:
// ./lumaro pack sets it.
std::string CommandName() {
  const char* typed = std::getenv("LUMARO_COMMAND");
  return typed && *typed ? typed : "lmr-pack";
}

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

// Option texts broken into lines that fit a terminal beside the option column.
std::string Wrapped(const std::string& text) {
  constexpr std::size_t kWidth = 54;
  std::string out;
  std::size_t line_start = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    if (out.size() > line_start && out.size() - line_start + 1 + (end - at) > kWidth) {
      out += '\n';
      line_start = out.size();
    } else if (out.size() > line_start) {
      out += ' ';
    }
    out.append(text, at, end - at);
    at = end + 1;
  }
  return out;
}

// A number option's reader: the value, or why it is not one.
unsigned Bounded(const std::string& option, const std::string& text, unsigned low, unsigned high) {
  const auto value = ParseNumber(text);
  if (!value || *value < low || *value > high) {
    throw CLI::ValidationError(option, "takes a number from " + std::to_string(low) + " to " + std::to_string(high));
  }
  return static_cast<unsigned>(*value);
}

void DefineOptions(CLI::App& app, CommandLine& line) {
  app.set_help_flag("--help,-h", "this text");
  // A repeated option: the last one counts.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.get_formatter()->column_width(24);
  auto text = [&](const std::string& name, std::optional<std::string>& into, const std::string& about) {
    return app.add_option_function<std::string>(name, [&into](const std::string& value) { into = value; }, about)
        ->type_name("FILE");
  };
  app.get_formatter()->label("REQUIRED", "");
  app.add_option("APP_DIR", line.app_dir, "the app folder")->required()->type_name("");

  text("--record", line.record, "the payload record")->group(std::string(kOutputs));
  text("--constants", line.constants,
       "C++ source defining PACKAGE_SIZE, COMPRESSED_SIZE and PACKAGE_CRC32 (the CRC-32 the launcher checks)")
      ->group(std::string(kOutputs));
  text("--archive-out", line.archive_out, "the raw, uncompressed package archive")->group(std::string(kOutputs));
  app.add_flag("--print-build-id", line.print_build_id, "print the BuildId on stdout")->group(std::string(kOutputs));
  text("--version-rc", line.version_rc,
       "resource script of the exe's icon and version information, for windres at link time; needs --icon-out")
      ->group(std::string(kOutputs));
  DefineIdentityOptions(app, line.identity, std::string(kOutputs));

  text("--version", line.version_text,
       "the release's version: one to four numbers of 0-65535, maybe with a semver suffix (2.3.4, 1.5.0-beta.2). "
       "Default: APP_DIR/package.json's \"version\", else 0.0.0")
      ->type_name("VERSION");
  text("--node-exe", line.node_exe, "pack FILE as the top-level node.exe; APP_DIR must not hold one");
  app.add_option_function<std::string>(
         "--level",
         [&line](const std::string& value) {
           line.compress.level = Bounded("--level", value, 1, 1000);
           line.level_given = true;
         },
         "LZMS compression level, 1 and up (default 50)")
      ->type_name("N");
  app.add_option_function<std::string>(
         "--chunk-size",
         [&line](const std::string& value) {
           const auto size = ParseSize(value);
           if (!size || *size < kMinChunkOption || !IsValidChunkSize(*size)) {
             throw CLI::ValidationError("--chunk-size", "takes a multiple of 64K from 1M to 64M");
           }
           line.compress.chunk_size = static_cast<std::uint32_t>(*size);
         },
         "uncompressed bytes per chunk: a multiple of 64K from 1M to 64M (suffixes K and M are binary). Default: "
         "2M with --update-feed, else "
         "16M, fixed, so that unchanged chunks stay the same between releases; an archive under 16M is one chunk")
      ->type_name("SIZE");
  const std::string updates = "Updates (each default: package.json's \"lumaro\" setting)";
  app.add_option_function<std::string>("--update-feed", [&line](const std::string& value) { line.update.feed = value; },
                                       "the http:// or https:// URL of the feed folder the app checks for updates "
                                       "(\"updateFeed\"); needs --update-key, a version and --update-helper")
      ->type_name("URL")
      ->group(updates);
  app.add_option("--update-key", line.update.keys,
                 "a PEM file of an Ed25519 public key the feed may be signed with; repeat it to trust several while "
                 "keys change (\"updateKeys\": files of APP_DIR)")
      ->type_name("PUBLIC.pem")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->allow_extra_args(false)
      ->group(updates);
  app.add_option_function<std::string>(
         "--update-channel", [&line](const std::string& value) { line.update.channel = value; },
         "the channel this release follows: lower-case letters, digits, \".\", \"_\", \"-\", at most 64 "
         "(\"updateChannel\"; default stable)")
      ->type_name("NAME")
      ->group(updates);
  app.add_option_function<std::string>(
         "--update-helper", [&line](const std::string& value) { line.update.helper = value; },
         "lumaro-update.exe, packed as .lumaro/update.exe when updates are on and ignored otherwise (./lumaro pack "
         "supplies it). Updates use 2M chunks unless --chunk-size or --best says otherwise")
      ->type_name("FILE")
      ->group(updates);
  app.add_flag("--best", line.best,
               "the smallest output: 64M chunks at level " + std::to_string(kBestLevel) +
                   ", beyond which the size stops shrinking (slower; --level and --chunk-size still apply if given)");
  app.add_option_function<std::string>(
         "--threads",
         [&line](const std::string& value) { line.compress.threads = Bounded("--threads", value, 1, 1024); },
         "compression threads (default: all cores); the output is the same whatever the thread count")
      ->type_name("N");
  app.add_option("--cache", line.cache,
                 "keep compressed chunks in DIR and reuse those whose bytes and settings are unchanged; the output is "
                 "the same bytes as without it. Default: $XDG_CACHE_HOME/lumaro/chunks, else ~/.cache/lumaro/chunks; "
                 "least recently used chunks go past 1 GiB")
      ->type_name("DIR");
  app.add_flag("--no-cache", line.no_cache, "compress every chunk afresh; neither read nor write the cache");
  app.add_flag("--no-verify", line.no_verify, "skip decoding the stream and comparing it with the archive");
  app.add_flag("--quiet", line.quiet, "no progress bar and no summary");
  app.add_flag("--strict", line.strict,
               "refuse to pack (status 3, nothing written) when there is any warning: native addons not for "
               "Windows x64, empty folders that cannot be carried");
  // Refused with its reason rather than as unknown; not in the help.
  app.add_option_function<std::string>("--build-id", [](const std::string&) {
       throw CLI::ValidationError("--build-id", "is not accepted: the BuildId always comes from the package's "
                                                "content, so that a changed package never reuses an installed runtime");
     })
      ->expected(0, 1)
      ->group("");
  for (CLI::Option* option : app.get_options()) option->description(Wrapped(option->get_description()));
  app.footer(tools::Concat(kDescription, "\n\n", kFooter, "\n\n", tools::kExitStatusHelp));
}

// After CLI11: what no single option can check.
std::expected<void, PackError> Complete(CommandLine& line) {
  if (line.best) {
    if (!line.level_given) line.compress.level = kBestLevel;
    if (line.compress.chunk_size == 0) line.compress.chunk_size = kMaxChunkSize;
  }
  if (line.version_text) {
    auto version = ParseReleaseVersion(*line.version_text);
    if (!version) {
      return std::unexpected(Usage(VersionRefusal(*line.version_text, VersionSource::kFlag, version.error())));
    }
    line.version = std::move(*version);
  }
  if (line.version_rc && !line.identity.icon_out) {
    return std::unexpected(Usage("--version-rc needs --icon-out: the script names the icon the link copies"));
  }
  if (!line.record && !line.constants && !line.archive_out && !line.version_rc && !line.print_build_id) {
    return std::unexpected(Usage("nothing to write: give --record and --constants"));
  }
  return {};
}

std::string Megabytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

// The version from the command line, else package.json's, else none; what
// the summary says of it.
std::expected<std::pair<ReleaseVersion, std::string>, PackError> ChooseVersion(const CommandLine& line,
                                                                              const PackageJson& package_json) {
  if (line.version) {
    return std::pair{*line.version, "version " + line.version->text + " (" + NumericVersion(*line.version) + ")"};
  }
  auto from_json = PackageJsonVersion(package_json);
  if (!from_json) return std::unexpected(from_json.error());
  if (*from_json) {
    auto version = ParseReleaseVersion(**from_json);
    if (!version) {
      return std::unexpected(
          PackError{ErrorClass::kBadInput, VersionRefusal(**from_json, VersionSource::kPackageJson, version.error())});
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

// The first few names, escaped like every name a message shows.
std::string FolderList(const std::vector<std::string>& folders) {
  constexpr std::size_t kShown = 5;
  std::string list;
  for (std::size_t i = 0; i < std::min(folders.size(), kShown); ++i) list += (i ? ", " : "") + tools::OneLine(folders[i]);
  if (folders.size() > kShown) list += ", ...";
  return list;
}

// The cache, unless --no-cache; one that cannot be used is warned about and
// the pack goes on without it, since it changes no byte of the output.
std::optional<ChunkCache> OpenCache(const CommandLine& line) {
  if (line.no_cache) return std::nullopt;
  const std::optional<std::filesystem::path> folder =
      line.cache ? std::optional<std::filesystem::path>(*line.cache) : ChunkCache::DefaultFolder();
  if (!folder) return std::nullopt;
  auto cache = ChunkCache::Open(*folder);
  if (!cache) {
    std::fprintf(stderr, "lmr-pack: warning: not using the chunk cache %s: %s\n",
                 tools::Quoted(folder->native()).c_str(), cache.error().c_str());
    return std::nullopt;
  }
  return std::move(*cache);
}

// The release's version as the vendor gave it (--version, else
// package.json's), or nullopt.
std::optional<std::string> GivenVersion(const CommandLine& line, const PackageJson& package_json) {
  if (line.version) return line.version->text;
  if (auto from_json = PackageJsonVersion(package_json); from_json && *from_json) return **from_json;
  return std::nullopt;
}

// A release with a version says so inside the package, for the app kit;
// with updates on, where they come from, and the helper that applies them.
std::expected<void, PackError> AddReleaseFiles(const std::optional<std::string>& version,
                                               const std::optional<UpdatePlan>& update, AppFolder& folder) {
  if (!version) return {};
  const std::string content =
      ReleaseFileContent(*version, update ? std::optional(update->settings) : std::nullopt);
  if (auto added = AddGeneratedFile(folder, SourceFile{std::string(kReleaseFileName), {}, content.size(), 0, 0, content});
      !added || !update) {
    return added;
  }
  const std::string helper(reinterpret_cast<const char*>(update->helper.data()), update->helper.size());
  return AddGeneratedFile(folder, SourceFile{std::string(kUpdateHelperName), {}, helper.size(), 0, 0, helper});
}

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
  auto package_json = ReadPackageJson(*folder);
  if (!package_json) return std::unexpected(package_json.error());
  auto version = ChooseVersion(line, *package_json);
  if (!version) return std::unexpected(version.error());
  auto identity = ChooseIdentity(line.identity, *package_json, *folder);
  if (!identity) return std::unexpected(identity.error());
  const std::optional<std::string> given_version = GivenVersion(line, *package_json);
  auto update = ChooseUpdate(line.update, *package_json, *folder, identity->data_folder, given_version.has_value());
  if (!update) return std::unexpected(update.error());
  auto addons = FindForeignAddons(*folder);
  if (!addons) return std::unexpected(addons.error());
  for (std::size_t i = 0; i < std::min(addons->size(), kAddonsNamed); ++i) {
    std::fprintf(stderr, "lmr-pack: warning: %s is %s, not a Windows x64 addon; it fails to load on Windows\n",
                 tools::OneLine((*addons)[i].name).c_str(), tools::OneLine((*addons)[i].kind).c_str());
  }
  if (addons->size() > kAddonsNamed) {
    std::fprintf(stderr, "lmr-pack: warning: %zu more native addons not for Windows x64\n",
                 addons->size() - kAddonsNamed);
  }
  if (line.strict && (!addons->empty() || !folder->empty_folders.empty())) {
    std::string why = "--strict: nothing written, because of ";
    if (!addons->empty()) why += std::to_string(addons->size()) + " native addon(s) not for Windows x64";
    if (!addons->empty() && !folder->empty_folders.empty()) why += " and ";
    if (!folder->empty_folders.empty()) {
      why += std::to_string(folder->empty_folders.size()) + " empty folder(s) that cannot be carried (" +
             FolderList(folder->empty_folders) + ")";
    }
    if (!addons->empty()) {
      why += "; install the app's Windows packages with npm ci --os=win32 --cpu=x64 (or npm install --os=win32 "
             "--cpu=x64) in APP_DIR";
    }
    if (!folder->empty_folders.empty()) why += "; remove the empty folders or put a file in each";
    return std::unexpected(PackError{ErrorClass::kBadInput, why});
  }
  if (auto released = AddReleaseFiles(given_version, *update, *folder); !released) {
    return std::unexpected(released.error());
  }
  progress.Phase("reading", folder->files.size(), "files");
  auto archive = ReadAppArchive(*folder, [&](std::size_t done, std::size_t) { progress.Update(done); });
  if (!archive) return std::unexpected(archive.error());

  RecordOptions options;
  options.compress = line.compress;
  // Smaller chunks make an update fetch less, for a little size.
  if (*update && options.compress.chunk_size == 0) options.compress.chunk_size = kUpdateChunkSize;
  const std::optional<ChunkCache> cache = OpenCache(line);
  options.compress.cache = cache ? &*cache : nullptr;
  options.verify = !line.no_verify;
  const std::uint32_t chunk_size = options.compress.chunk_size
                                       ? options.compress.chunk_size
                                       : ChooseChunkSize(archive->size());
  const std::size_t chunks = (archive->size() + chunk_size - 1) / chunk_size;
  progress.Phase("compressing", chunks, "chunks");
  options.compress.on_chunk = [&](std::size_t done, std::size_t) { progress.Update(done); };
  options.on_verify = [&] { progress.Phase("verifying", 1, "streams"); };
  auto packed = BuildPackageRecord(*archive, options);
  if (!packed) return std::unexpected(packed.error());
  progress.Clear();
  if (cache) cache->Prune(kChunkCacheLimit);

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
  if (auto written = WriteIdentityOutputs(line.identity, *identity, version->first, line.version_rc); !written) {
    return std::unexpected(written.error());
  }
  if (line.constants) {
    const std::string source = ConstantsSource("lmr-pack", archive->size(), packed->stream.bytes.size(),
                                               packed->package_crc32, identity->Fields());
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
  if (*update) line_out += ", updates from " + (*update)->settings.feed + " (" + (*update)->settings.channel + ")";
  if (cache) {
    line_out += ", " + std::to_string(packed->stream.reused_chunks) + " of " +
                std::to_string(packed->stream.chunk_count) + " chunks from the cache";
  }
  if (!addons->empty()) {
    line_out += "; " + std::to_string(addons->size()) + " native addon warning(s)";
  }
  if (folder->files.size() > kManyFiles) {
    line_out += "; " + std::to_string(folder->files.size()) +
                " files make a slow first launch (it writes and flushes each on its own): "
                "bundle the app's JavaScript into one file";
  }
  if (!folder->empty_folders.empty()) {
    line_out += "; " + std::to_string(folder->empty_folders.size()) + " empty folder(s) not carried: " +
                FolderList(folder->empty_folders);
  }
  if (!line.quiet) std::fprintf(stderr, "%s\n", line_out.c_str());
  return build_id;
}

}  // namespace
}  // namespace lumaro::pack

int main(int argc, char** argv) try {
  using namespace lumaro::pack;
  CLI::App app{"", "lmr-pack"};
  CommandLine line;
  DefineOptions(app, line);
  if (const auto status = lumaro::tools::ParseCommandLine(app, argc, argv, "lmr-pack", CommandName())) return *status;
  if (auto complete = Complete(line); !complete) {
    std::fprintf(stderr, "lmr-pack: %s\nTry %s --help.\n", complete.error().message.c_str(), CommandName().c_str());
    return ExitCode(complete.error().error_class);
  }
  auto build_id = Run(line);
  if (!build_id) {
    // Messages carry the folder's names as they are: escape them for the terminal.
    std::fprintf(stderr, "lmr-pack: %s\n", lumaro::tools::OneLine(build_id.error().message).c_str());
    return ExitCode(build_id.error().error_class);
  }
  if (line.print_build_id) std::printf("%s\n", build_id->c_str());
  return 0;
} catch (const std::bad_alloc&) {
  std::fputs("lmr-pack: out of memory\n", stderr);
  return lumaro::pack::ExitCode(lumaro::pack::ErrorClass::kOutOfMemory);
}
