// Builds package archives by hand for the unpacker's tests: entries appended
// in order, the count given or implied, and raw bytes for malformed tails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "package/archive.h"
#include "platform/byte_order.h"

namespace lumaro::package::testing {

class ArchiveBuilder {
 public:
  ArchiveBuilder& Add(std::string_view name, std::string_view data) {
    char head[kEntryHeaderSize];
    platform::StoreLe16(head, static_cast<std::uint16_t>(name.size()));
    platform::StoreLe32(head + kEntryDataLengthOffset, static_cast<std::uint32_t>(data.size()));
    body_.append(head, sizeof head);
    body_.append(name);
    body_.append(data);
    ++count_;
    return *this;
  }
  // Bytes as they are, e.g. a header whose data_length claims more than follows.
  ArchiveBuilder& AddRaw(std::string_view bytes) {
    body_.append(bytes);
    return *this;
  }
  std::vector<std::byte> Build() const { return BuildWithCount(count_); }
  std::vector<std::byte> BuildWithCount(std::uint16_t count) const {
    std::vector<std::byte> out(kArchiveCountSize);
    platform::StoreLe16(out.data(), count);
    for (char c : body_) out.push_back(static_cast<std::byte>(c));
    return out;
  }

 private:
  std::string body_;
  std::uint16_t count_ = 0;
};

}  // namespace lumaro::package::testing
