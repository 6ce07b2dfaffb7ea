// See one_line.h.
#include "tools/common/one_line.h"

#include <cstdint>

namespace lumaro::tools {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void AppendByteEscape(std::string& out, unsigned char byte) {
  out.append("\\x").push_back(kHex[byte >> 4]);
  out.push_back(kHex[byte & 0xF]);
}

// The length of the well-formed UTF-8 sequence at text[at] and its code
// point, or 0 when the bytes there are not one.
std::size_t DecodeUtf8(std::string_view text, std::size_t at, std::uint32_t& code) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 0;
  std::uint32_t min = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, min = 0x80, code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, min = 0x800, code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, min = 0x10000, code = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[at + k]);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::optional<HiddenKind> HiddenCharacterKind(std::uint32_t code) {
  if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) return HiddenKind::kControl;
  if (code == 0x061C || code == 0x200E || code == 0x200F || (code >= 0x202A && code <= 0x202E) ||
      (code >= 0x2066 && code <= 0x2069)) {
    return HiddenKind::kBidiControl;
  }
  if ((code >= 0x200B && code <= 0x200D) || (code >= 0x2060 && code <= 0x2064) || code == 0xFEFF ||
      code == 0x180E) {
    return HiddenKind::kInvisible;
  }
  if (code == 0x00AD) return HiddenKind::kSoftHyphen;
  if ((code >= 0xFDD0 && code <= 0xFDEF) || (code & 0xFFFE) == 0xFFFE) return HiddenKind::kNoncharacter;
  return std::nullopt;
}

std::optional<HiddenCharacter> FirstHiddenCharacter(std::string_view utf8, bool soft_hyphen) {
  std::size_t at = 0;
  while (at < utf8.size()) {
    std::uint32_t code = static_cast<unsigned char>(utf8[at]);
    std::size_t length = 1;
    if (code >= 0x80) {
      length = DecodeUtf8(utf8, at, code);
      if (length == 0) return std::nullopt;  // not UTF-8: the caller's check
    }
    const auto kind = HiddenCharacterKind(code);
    if (kind && (soft_hyphen || *kind != HiddenKind::kSoftHyphen)) return HiddenCharacter{code, *kind};
    at += length;
  }
  return std::nullopt;
}

std::string CodePointName(std::uint32_t code) {
  std::string out = "U+";
  const int digits = code > 0xFFFF ? 6 : 4;
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out.push_back("0123456789ABCDEF"[(code >> shift) & 0xF]);
  return out;
}

namespace {

std::string Escaped(std::string_view text, bool quote) {
  std::string out;
  out.reserve(text.size());
  std::size_t at = 0;
  while (at < text.size()) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x80) {
      if (byte < 0x20 || byte == 0x7F) {
        AppendByteEscape(out, byte);
      } else if (byte == '"' && quote) {
        out.append("\\\"");
      } else {
        out.push_back(text[at]);
      }
      ++at;
      continue;
    }
    std::uint32_t code = 0;
    const std::size_t length = DecodeUtf8(text, at, code);
    if (length == 0) {
      // Not UTF-8: an 8-bit terminal would take 0x9B as CSI.
      AppendByteEscape(out, byte);
      ++at;
    } else if (HiddenCharacterKind(code) && code <= 0xFFFF) {
      out.append("\\u").push_back(kHex[(code >> 12) & 0xF]);
      out.push_back(kHex[(code >> 8) & 0xF]);
      out.push_back(kHex[(code >> 4) & 0xF]);
      out.push_back(kHex[code & 0xF]);
      at += length;
    } else {
      out.append(text.substr(at, length));
      at += length;
    }
  }
  return out;
}

}  // namespace

std::string OneLine(std::string_view text) { return Escaped(text, false); }

std::string Quoted(std::string_view text) {
  std::string out = Escaped(text, true);
  out.insert(out.begin(), '"');
  out.push_back('"');
  return out;
}

}  // namespace lumaro::tools
