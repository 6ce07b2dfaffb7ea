// lmr-inspect: reports what a built launcher carries and whether its payload
// would install, and extracts the package's files. See --help.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "tools/common/command_line.h"
#include "tools/common/exit_status.h"
#include "tools/common/one_line.h"
#include "tools/inspect/identity_report.h"
#include "tools/inspect/image_file.h"
#include "tools/inspect/package_extract.h"
#include "tools/inspect/payload_check.h"
#include "tools/inspect/report.h"
#include "tools/inspect/version_resource.h"

namespace lumaro::inspect {
namespace {

constexpr std::string_view kDescription = R"help(Finds the payload record and the generated constants in a launcher EXE and
prints one "key: value" fact per line: version (the version resource's
"ProductVersion" and FILEVERSION, or "none"), the identity (product,
company, data-folder, mutex-name, window-title; or "identity: unreadable
(why)", which is status 1 too), build-id, package-size,
compressed-size, package-crc32, where the record and constants lie,
chunk-size, chunk-count, stored-chunks, files, total-bytes, whether the
sizes agree, and "payload: intact" or "payload: DAMAGED (why)". The payload
is intact when the constants, the record and the stream agree on the sizes,
the stream decodes to PACKAGE_SIZE bytes whose CRC-32 is PACKAGE_CRC32, the
archive parses with the launcher's own rules, and Windows could create every
path as the launcher would (letter case aside, no two entries share one).)help";

struct CommandLine {
  std::string exe;
  std::optional<std::string> extract_dir;
  bool list = false;
};

void DefineOptions(CLI::App& app, CommandLine& line) {
  app.set_help_flag("--help,-h", "this text");
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.get_formatter()->column_width(16);
  app.get_formatter()->label("REQUIRED", "");
  app.add_option("EXE", line.exe, "a built launcher")->required()->type_name("");
  app.add_flag("--list", line.list, "also a \"file: SIZE NAME\" line per file");
  app.add_option_function<std::string>(
         "--extract",
         [&line](const std::string& dir) {
           if (dir.empty()) throw CLI::ValidationError("--extract", "needs a folder");
           line.extract_dir = dir;
         },
         "write the package's files into DIR instead, byte for byte.\n"
         "DIR must be missing (it is created) or empty; nothing is\n"
         "overwritten and no symbolic link is followed, DIR included.\n"
         "A damaged payload, or one with a name the launcher\n"
         "refuses, is not extracted at all.")
      ->type_name("DIR");
  app.footer(tools::Concat(kDescription, "\n\n", tools::kExitStatusHelp));
}

int Fail(const InspectError& error, const std::string& subject = {}) {
  std::fprintf(stderr, "lmr-inspect: %s%s\n", subject.empty() ? "" : (OneLine(subject) + ": ").c_str(),
               OneLine(error.message).c_str());
  return ExitCode(error.error_class);
}

int Run(int argc, char** argv) {
  CLI::App app{"", "lmr-inspect"};
  CommandLine line;
  DefineOptions(app, line);
  if (const auto status = tools::ParseCommandLine(app, argc, argv, "lmr-inspect", "lmr-inspect")) return *status;
  if (line.list && line.extract_dir) {
    std::fputs("lmr-inspect: --list and --extract do not go together\nTry lmr-inspect --help.\n", stderr);
    return ExitCode(ErrorClass::kUsage);
  }
  const auto image = ReadImageFile(line.exe);
  if (!image) return Fail(image.error(), line.exe);
  const auto inspection = InspectImage(image->bytes());
  if (!inspection) return Fail(inspection.error(), line.exe);

  if (line.extract_dir) {
    const auto extracted = ExtractPackage(*inspection, *line.extract_dir);
    if (!extracted) return Fail(extracted.error(), line.exe);
    std::printf("extracted %zu files, %llu bytes, into %s\n", *extracted,
                static_cast<unsigned long long>(inspection->total_bytes), OneLine(*line.extract_dir).c_str());
    return 0;
  }
  const auto identity = FindIdentity(image->bytes(), inspection->where);
  const std::string report = FormatReport(*inspection, line.list, FormatVersion(image->bytes()),
                                          FormatIdentity(image->bytes(), identity));
  std::fwrite(report.data(), 1, report.size(), stdout);
  // A launcher without its one identity block refuses to start, as it does
  // with a damaged payload.
  return inspection->intact() && identity ? 0 : ExitCode(ErrorClass::kDamaged);
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
