// Asks the launcher's operator new for more than any heap can give. The
// replacement must end the process at once with STATUS_NO_MEMORY: no dialog,
// no exception, no return.
#include <cstddef>
#include <new>

int wmain() {
  void* volatile block = ::operator new(std::size_t{1} << 62);
  return block != nullptr ? 1 : 2;
}
