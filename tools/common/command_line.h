// How the vendor tools read their command lines with CLI11: --help goes to
// standard output, and a usage error is one line naming what is wrong, then
// where the help is, with the usage status from the one exit-code table.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>
#include <optional>
#include <string>

#include "tools/common/exit_status.h"
#include "tools/common/one_line.h"

namespace lumaro::tools {

// nullopt when the tool goes on; otherwise the status to exit with: 0 after
// the help, the usage status after an error. help_command is what the user
// typed to run the tool ("./lumaro pack" rather than "lmr-pack").
inline std::optional<int> ParseCommandLine(CLI::App& app, int argc, char** argv, const std::string& tool,
                                           const std::string& help_command) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "%s: %s\nTry %s --help.\n", tool.c_str(), OneLine(error.what()).c_str(),
                 help_command.c_str());
    return ExitCode(ExitStatus::kUsage);
  }
  return std::nullopt;
}

}  // namespace lumaro::tools
