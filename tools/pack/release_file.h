// The release file: the pack tool's record, inside the package, of which
// release this is, so that the app can tell its runtimes' releases apart.
// It lies under a folder the app folder may not use.
#pragma once

#include <string>
#include <string_view>

namespace lumaro::pack {

inline constexpr std::string_view kPackToolFolder = ".lumaro";
inline constexpr std::string_view kReleaseFileName = ".lumaro/release.json";

// {"version":"<version>"}: compact, one key, so the same release always
// gives the same bytes.
std::string ReleaseFileContent(std::string_view version);

}  // namespace lumaro::pack
