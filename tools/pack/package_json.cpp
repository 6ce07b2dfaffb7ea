// package.json reader; see package_json.h.
#include "tools/pack/package_json.h"

#include <string_view>

#include "tools/common/one_line.h"

namespace lumaro::pack {
namespace {

using tools::Concat;

// "line 3, column 14" of the character at byte offset at: both 1-based,
// columns counted in characters, as editors show them.
std::string LineAndColumn(std::string_view text, std::size_t at) {
  at = std::min(at, text.size());
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < at; ++i) {
    if (text[i] == '\n') ++line, line_start = i + 1;
  }
  std::size_t column = 1;
  for (std::size_t i = line_start; i < at; ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++column;
  }
  return Concat("line ", std::to_string(line), ", column ", std::to_string(column));
}

// Where arrays and objects nest deeper than max, or npos; strings skipped.
std::size_t TooDeepAt(std::string_view text, std::size_t max) {
  std::size_t depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      if (++depth > max) return i;
    } else if ((c == '}' || c == ']') && depth > 0) {
      --depth;
    }
  }
  return std::string_view::npos;
}

// nlohmann's DOM builder that keeps where the first syntax error was
// instead of throwing.
class LocatingParser : public nlohmann::detail::json_sax_dom_parser<nlohmann::json> {
 public:
  explicit LocatingParser(nlohmann::json& out) : json_sax_dom_parser(out, /*allow_exceptions_=*/false) {}
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& error) {
    error_at = position == 0 ? 0 : position - 1;  // the count of bytes read, the bad one included
    std::string_view what = error.what();
    // "[json.exception.parse_error.101] parse error at line 1, column 2: syntax error while parsing ..."
    if (const std::size_t colon = what.find(": "); colon != std::string_view::npos) what.remove_prefix(colon + 2);
    reason = what;
    return false;
  }
  std::optional<std::size_t> error_at;
  std::string reason;
};

}  // namespace

const nlohmann::json* PackageJson::Find(const char* key) const {
  if (!document.is_object()) return nullptr;
  const auto found = document.find(key);
  return found == document.end() ? nullptr : &*found;
}

std::expected<std::optional<std::string>, PackError> PackageJsonString(const nlohmann::json* object, const char* key,
                                                                       std::string_view shown_as) {
  if (object == nullptr || !object->contains(key)) return std::nullopt;
  const nlohmann::json& value = (*object)[key];
  if (!value.is_string()) {
    return std::unexpected(PackError{ErrorClass::kBadInput, Concat("package.json's ", shown_as,
                                                                   " cannot be used: it is not a string; "
                                                                   "give it as a string or remove it")});
  }
  std::string text = value.get<std::string>();
  if (text.empty()) return std::nullopt;
  return text;
}

std::expected<PackageJson, PackError> ReadPackageJson(const AppFolder& folder) {
  PackageJson out{nullptr, (folder.root / "package.json").string()};
  const SourceFile* file = FindAppFile(folder, "package.json");
  if (!file) return out;
  const std::string shown = tools::Quoted(out.path);
  if (file->size > kMaxPackageJsonBytes) {
    return std::unexpected(PackError{
        ErrorClass::kBadInput,
        Concat(shown, " cannot be used: it is ", std::to_string(file->size),
               " bytes, more than a package.json may be (", std::to_string(kMaxPackageJsonBytes / 1024),
               " KiB); keep data the app reads in a file of its own")});
  }
  const auto bytes = ReadAppFile(folder, *file);
  if (!bytes) return std::unexpected(bytes.error());
  const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  if (const std::size_t at = TooDeepAt(text, kMaxPackageJsonDepth); at != std::string_view::npos) {
    return std::unexpected(PackError{
        ErrorClass::kBadInput, Concat(shown, " cannot be used: it nests arrays and objects deeper than ",
                                      std::to_string(kMaxPackageJsonDepth), " levels (at ", LineAndColumn(text, at),
                                      "); keep data the app reads in a file of its own")});
  }
  LocatingParser parser(out.document);
  nlohmann::json::sax_parse(text.begin(), text.end(), &parser, nlohmann::json::input_format_t::json,
                            /*strict=*/true);
  if (parser.error_at) {
    return std::unexpected(PackError{ErrorClass::kBadInput,
                                     Concat(shown, " is not valid JSON: at ", LineAndColumn(text, *parser.error_at),
                                            ", ", parser.reason, "; correct it or remove it")});
  }
  // Anything but an object holds none of the keys read from it.
  if (!out.document.is_object()) out.document = nullptr;
  return out;
}

}  // namespace lumaro::pack
