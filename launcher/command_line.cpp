// Argument quoting for CreateProcessW command lines.

#include "launcher/command_line.h"

namespace lumaro::launcher {
namespace {

bool NeedsQuotes(std::u16string_view argument) {
  return argument.empty() || argument.find_first_of(u" \t") != std::u16string_view::npos;
}

void AppendArgument(std::u16string& line, std::u16string_view argument) {
  const bool quoted = NeedsQuotes(argument);
  if (quoted) line += u'"';
  std::size_t backslashes = 0;
  for (const char16_t c : argument) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    if (c == u'"') {
      // The parser halves a run before a quote; the odd one escapes the quote.
      line.append(backslashes * 2 + 1, u'\\');
    } else {
      line.append(backslashes, u'\\');
    }
    backslashes = 0;
    line += c;
  }
  if (quoted) {
    // The closing quote must not be escaped by a trailing run.
    line.append(backslashes * 2, u'\\');
    line += u'"';
  } else {
    line.append(backslashes, u'\\');
  }
}

}  // namespace

std::u16string BuildCommandLine(std::u16string_view program,
                                std::span<const std::u16string> arguments) {
  std::u16string line;
  line += u'"';
  line += program;
  line += u'"';
  for (const std::u16string& argument : arguments) {
    line += u' ';
    AppendArgument(line, argument);
  }
  return line;
}

}  // namespace lumaro::launcher
