// See one_line.h.
#include "tools/common/one_line.h"

namespace lumaro::tools {

std::string OneLine(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      out.append("\\x").push_back(kHex[u >> 4]);
      out.push_back(kHex[u & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string Quoted(std::string_view text) {
  std::string out = OneLine(text);
  out.insert(out.begin(), '"');
  out.push_back('"');
  return out;
}

}  // namespace lumaro::tools
