// The text `lmr-inspect EXE` prints: one "key: value" fact per line, in a
// fixed order, so that scripts can grep for a key. Facts that could not be
// established (say, the file count of a package that does not decode) are
// left out rather than guessed.
#pragma once

#include <string>
#include <string_view>

#include "tools/common/one_line.h"
#include "tools/inspect/payload_check.h"

namespace lumaro::inspect {

// With list, a "file: SIZE NAME" line per entry follows the summary. A
// non-empty version (FormatVersion's) comes first, then the identity's lines
// (FormatIdentity's), as given.
std::string FormatReport(const Inspection& inspection, bool list, std::string_view version = {},
                         std::string_view identity_lines = {});

// Names and messages are printed through OneLine: control characters escaped.
using tools::OneLine;

}  // namespace lumaro::inspect
