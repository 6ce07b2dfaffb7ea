// The process environment: reading a variable, the whole block for a child,
// and the order Windows keeps names in.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumaro::platform {

// nullopt when the variable is missing; a defined but empty one gives "".
std::optional<std::string> ReadEnvironmentVariable(std::string_view name);

// CompareStringOrdinal with case ignored: negative, zero or positive.
int CompareNamesIgnoringCase(std::u16string_view a, std::u16string_view b);

// The launcher's own environment block ("A=1\0B=2\0\0"), owned until
// destruction. get() is null when the system could not produce it.
class EnvironmentStrings {
 public:
  EnvironmentStrings();
  EnvironmentStrings(const EnvironmentStrings&) = delete;
  EnvironmentStrings& operator=(const EnvironmentStrings&) = delete;
  ~EnvironmentStrings();
  const char16_t* get() const { return strings_; }

 private:
  char16_t* strings_;
};

}  // namespace lumaro::platform
