// How the vendor tools read their command lines with CLI11: --help goes to
// standard output, and a usage error is one line naming what is wrong, then
// where the help is, with the usage status from the one exit-code table.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/common/exit_status.h"
#include "tools/common/one_line.h"

namespace lumaro::tools {

// What CLI11 could not place, said as the user would: the first argument
// that looks like an option is an unknown option (with the option it may be
// a prefix of), else an argument too many.
inline std::string UnexpectedArguments(const CLI::App& app, const std::vector<std::string>& extras) {
  for (const std::string& extra : extras) {
    if (!extra.starts_with("-") || extra == "-") continue;
    const std::string typed = extra.substr(0, extra.find('='));
    std::string message = "unknown option " + typed;
    std::vector<std::string> candidates;
    for (const CLI::Option* option : app.get_options()) {
      if (option->get_group().empty()) continue;  // hidden
      for (const std::string& name : option->get_lnames()) {
        if (("--" + name).starts_with(typed) && typed.size() > 2) candidates.push_back("--" + name);
      }
    }
    if (candidates.size() == 1) message += " (did you mean " + candidates.front() + "?)";
    return message;
  }
  std::string message = extras.size() == 1 ? "unexpected argument" : "unexpected arguments";
  for (const std::string& extra : extras) message += " " + extra;
  return message;
}

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
  } catch (const CLI::ExtrasError&) {
    std::fprintf(stderr, "%s: %s\nTry %s --help.\n", tool.c_str(),
                 OneLine(UnexpectedArguments(app, app.remaining())).c_str(), help_command.c_str());
    return ExitCode(ExitStatus::kUsage);
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "%s: %s\nTry %s --help.\n", tool.c_str(), OneLine(error.what()).c_str(),
                 help_command.c_str());
    return ExitCode(ExitStatus::kUsage);
  }
  return std::nullopt;
}

}  // namespace lumaro::tools
