// The command line a child process is started with: the program in quotes,
// then each argument quoted so that the C runtime's argument parser gives it
// back unchanged. Pure, so the quoting is table-tested natively.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace lumaro::launcher {

// The program is always quoted and never escaped (a path holds no quotes).
// An argument is quoted when it is empty or holds a space or a tab; a run of
// backslashes before a quote is doubled and the quote escaped, and in a quoted
// argument a run at the very end is doubled before the closing quote.
// No terminating NUL is added.
std::u16string BuildCommandLine(std::u16string_view program,
                                std::span<const std::u16string> arguments);

}  // namespace lumaro::launcher
