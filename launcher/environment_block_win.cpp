// The Windows side of the child's environment: CompareStringOrdinal for the
// name order, and the launcher's own variables from GetEnvironmentStringsW.

#include "launcher/environment_block.h"
#include "platform/win32.h"

namespace lumaro::launcher {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

struct EnvironmentStrings {
  explicit EnvironmentStrings(LPWCH strings) : strings_(strings) {}
  EnvironmentStrings(const EnvironmentStrings&) = delete;
  EnvironmentStrings& operator=(const EnvironmentStrings&) = delete;
  ~EnvironmentStrings() {
    if (strings_ != nullptr) FreeEnvironmentStringsW(strings_);
  }
  const char16_t* get() const { return reinterpret_cast<const char16_t*>(strings_); }

 private:
  LPWCH strings_;
};

}  // namespace

int CompareNamesIgnoringCase(std::u16string_view a, std::u16string_view b) {
  // Variable names are far below INT_MAX units (the block is limited to 32767).
  const int result = CompareStringOrdinal(reinterpret_cast<LPCWCH>(a.data()),
                                          static_cast<int>(a.size()),
                                          reinterpret_cast<LPCWCH>(b.data()),
                                          static_cast<int>(b.size()), TRUE);
  if (result == 0) return a.compare(b);  // a refused call: keep the order strict
  return result - CSTR_EQUAL;
}

std::u16string BuildChildEnvironment(const EnvironmentChanges& changes) {
  // NULL (out of memory in the call) counts as an empty environment.
  const EnvironmentStrings strings(GetEnvironmentStringsW());
  const std::vector<std::u16string_view> entries = SplitEnvironmentStrings(strings.get());
  return BuildEnvironmentBlock(entries, changes);
}

}  // namespace lumaro::launcher
