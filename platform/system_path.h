// The path rules applied at the system boundary: a path as a file-system call
// must receive it, and full path names.
#pragma once

#include <string>
#include <string_view>

#include "platform/result.h"

namespace lumaro::platform {

// NUL-terminated UTF-16, made absolute and given "\\?\" where the path rules
// ask for it. A NUL inside is refused.
Result<std::wstring> ToSystemPath(std::string_view path);

// GetFullPathNameW, in full whatever the length.
Result<std::string> FullPathName(std::string_view path);

}  // namespace lumaro::platform
