// lmr-inspect: reports what a built launcher carries and whether its payload
// would install, and extracts the package's files. See --help.
#include <cstdio>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "tools/inspect/identity_report.h"
#include "tools/inspect/image_file.h"
#include "tools/inspect/package_extract.h"
#include "tools/inspect/payload_check.h"
#include "tools/inspect/report.h"
#include "tools/inspect/version_resource.h"

namespace lumaro::inspect {
namespace {

constexpr std::string_view kHelp = R"help(Usage: lmr-inspect [--list] [--] EXE
       lmr-inspect --extract DIR [--] EXE

Finds the payload record and the generated constants in a launcher EXE and
prints one "key: value" fact per line: version (the version resource's
"ProductVersion" and FILEVERSION, or "none"), the identity (product,
company, data-folder, mutex-name, window-title; or "identity: none"), build-id, package-size,
compressed-size, package-crc32, where the record and constants lie,
chunk-size, chunk-count, stored-chunks, files, total-bytes, whether the
sizes agree, and "payload: intact" or "payload: DAMAGED (why)". The payload
is intact when the constants, the record and the stream agree on the sizes,
the stream decodes to PACKAGE_SIZE bytes whose CRC-32 is PACKAGE_CRC32, the
archive parses with the launcher's own rules, and Windows could create every
path as the launcher would (letter case aside, no two entries share one).

  --list         also a "file: SIZE NAME" line per file
  --extract DIR  write the package's files into DIR instead, byte for byte.
                 DIR must be missing (it is created) or empty; nothing is
                 overwritten and no symbolic link is followed, DIR included. A damaged
                 payload, or one with a name the launcher refuses, is not
                 extracted at all.

Exit codes:
  0  intact (extracted)
  1  the payload is damaged
  2  usage error
  3  EXE is not a launcher: no single payload record and constants block
  4  I/O failure (reading EXE, writing DIR)
  5  extraction refused: DIR is not empty or is a link, or a path exists
     already
  6  out of memory
)help";

struct CommandLine {
  std::string exe;
  std::optional<std::string> extract_dir;
  bool list = false;
  bool help = false;
};

std::expected<CommandLine, InspectError> ParseCommandLine(int argc, char** argv) {
  auto usage = [](std::string why) { return std::unexpected(InspectError{ErrorClass::kUsage, std::move(why)}); };
  CommandLine line;
  std::vector<std::string> positional;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (options_done) {
      positional.emplace_back(arg);
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "--help" || arg == "-h") {
      line.help = true;
    } else if (arg == "--list") {
      line.list = true;
    } else if (arg == "--extract") {
      if (i + 1 >= argc) return usage("--extract needs a folder");
      line.extract_dir = argv[++i];
    } else if (arg.starts_with("-") && arg != "-") {
      return usage("unknown option " + std::string(arg));
    } else {
      positional.emplace_back(arg);
    }
  }
  if (line.help) return line;
  if (positional.size() != 1) return usage("give exactly one EXE");
  if (line.list && line.extract_dir) return usage("--list and --extract do not go together");
  if (line.extract_dir && line.extract_dir->empty()) return usage("--extract needs a folder");
  line.exe = positional[0];
  return line;
}

int Fail(const InspectError& error, const std::string& subject = {}) {
  std::fprintf(stderr, "lmr-inspect: %s%s\n", subject.empty() ? "" : (OneLine(subject) + ": ").c_str(),
               OneLine(error.message).c_str());
  return ExitCode(error.error_class);
}

int Run(int argc, char** argv) {
  const auto line = ParseCommandLine(argc, argv);
  if (!line) {
    Fail(line.error());
    std::fputs("usage: lmr-inspect [--list] EXE | lmr-inspect --extract DIR EXE (--help for more)\n", stderr);
    return ExitCode(line.error().error_class);
  }
  if (line->help) {
    std::fputs(kHelp.data(), stdout);
    return 0;
  }
  const auto image = ReadImageFile(line->exe);
  if (!image) return Fail(image.error(), line->exe);
  const auto inspection = InspectImage(image->bytes());
  if (!inspection) return Fail(inspection.error(), line->exe);

  if (line->extract_dir) {
    const auto extracted = ExtractPackage(*inspection, *line->extract_dir);
    if (!extracted) return Fail(extracted.error(), line->exe);
    std::printf("extracted %zu files, %llu bytes, into %s\n", *extracted,
                static_cast<unsigned long long>(inspection->total_bytes), OneLine(*line->extract_dir).c_str());
    return 0;
  }
  const std::string report = FormatReport(*inspection, line->list, FormatVersion(image->bytes()),
                                          FormatIdentity(image->bytes(), inspection->where));
  std::fwrite(report.data(), 1, report.size(), stdout);
  return inspection->intact() ? 0 : ExitCode(ErrorClass::kDamaged);
}

}  // namespace
}  // namespace lumaro::inspect

int main(int argc, char** argv) {
  try {
    return lumaro::inspect::Run(argc, argv);
  } catch (const std::bad_alloc&) {
    // Sizes come from the exe; whatever they make us hold, running out is
    // an answer, not an abort.
    std::fputs("lmr-inspect: out of memory\n", stderr);
    return lumaro::inspect::ExitCode(lumaro::inspect::ErrorClass::kOutOfMemory);
  }
}
