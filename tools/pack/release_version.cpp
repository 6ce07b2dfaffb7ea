// Release version rules; see release_version.h.
#include "tools/pack/release_version.h"

#include <charconv>
#include <vector>

#include "tools/common/one_line.h"

namespace lumaro::pack {
namespace {

bool IsIdentifierChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
}

// Dot-separated, non-empty identifiers of [0-9A-Za-z-], as semver's
// pre-release and build parts are.
bool IsIdentifierList(std::string_view text) {
  if (text.empty()) return false;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = text.find('.', start);
    const std::string_view part = text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (part.empty()) return false;
    for (char c : part) {
      if (!IsIdentifierChar(c)) return false;
    }
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

}  // namespace

std::expected<ReleaseVersion, std::string> ParseReleaseVersion(std::string_view text) {
  auto refuse = [](std::string_view why) { return std::unexpected(std::string(why)); };
  if (text.size() > kMaxVersionCharacters) {
    return refuse(tools::Concat("is longer than ", std::to_string(kMaxVersionCharacters), " characters"));
  }
  const std::size_t suffix_at = text.find_first_of("-+");
  const std::string_view numbers = text.substr(0, suffix_at);
  if (suffix_at != std::string_view::npos) {
    std::string_view suffix = text.substr(suffix_at);
    std::string_view build;
    if (const std::size_t plus = suffix.find('+'); plus != std::string_view::npos) {
      build = suffix.substr(plus + 1);
      if (!IsIdentifierList(build)) return refuse("has a part after \"+\" that is not dot-separated letters, digits and hyphens");
      suffix = suffix.substr(0, plus);
    }
    if (!suffix.empty() && !IsIdentifierList(suffix.substr(1))) {
      return refuse("has a part after \"-\" that is not dot-separated letters, digits and hyphens");
    }
  }
  ReleaseVersion version;
  std::size_t count = 0;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = numbers.find('.', start);
    const std::string_view part =
        numbers.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (count == 4) return refuse("has more than four numbers");
    unsigned value = 0;
    const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value);
    if (part.empty() || error == std::errc::invalid_argument || end != part.data() + part.size()) {
      return refuse("is not one to four numbers separated by dots");
    }
    if (error == std::errc::result_out_of_range || value > 65535) {
      return refuse("has a number over 65535");
    }
    version.numbers[count++] = static_cast<std::uint16_t>(value);
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  version.text = text;
  return version;
}

std::string VersionRefusal(std::string_view text, VersionSource source, std::string_view problem) {
  // A refused version may be any length; show as much as the bound allows.
  const std::string_view cut = text.size() > kMaxVersionCharacters ? " (cut)" : "";
  if (!cut.empty()) text = text.substr(0, kMaxVersionCharacters);
  const std::string_view fix = "a version such as 2.3.4 or 1.5.0-beta.2: one to four numbers of 0 to 65535, maybe "
                               "with a semver suffix";
  if (source == VersionSource::kFlag) {
    return tools::Concat("--version ", tools::Quoted(text), cut, " cannot be used: it ", problem, "; give ", fix);
  }
  return tools::Concat("package.json's \"version\" ", tools::Quoted(text), cut, " cannot be used: it ", problem,
                       "; correct it in package.json, or give ", fix, " with --version");
}

std::string NumericVersion(const ReleaseVersion& version) {
  const auto& n = version.numbers;
  return std::to_string(n[0]) + "." + std::to_string(n[1]) + "." + std::to_string(n[2]) + "." + std::to_string(n[3]);
}

std::expected<std::optional<std::string>, PackError> PackageJsonVersion(const PackageJson& package_json) {
  const nlohmann::json* version = package_json.Find("version");
  if (version == nullptr) return std::nullopt;
  if (!version->is_string()) {
    return std::unexpected(PackError{ErrorClass::kBadInput,
                                     "package.json's \"version\" cannot be used: it is not a string; give it as a "
                                     "string, such as \"2.3.4\""});
  }
  // npm writes no empty version, but an empty text is unset wherever
  // package.json gives one.
  if (version->get_ref<const std::string&>().empty()) return std::nullopt;
  return version->get<std::string>();
}

}  // namespace lumaro::pack
