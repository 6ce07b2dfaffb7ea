// Tests of the stand-in cabinet.dll through its exports, loaded by full path
// the way the launcher would find it beside the exe. Runs under Wine; the
// vectors were made by wimlib (see compat/lzms/tests/make_test_vectors.cpp).
#include <windows.h>
#include <compressapi.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

#include "compat/cabinet/tests/vectors/lzms_vectors.inc"

constexpr DWORD kErrorBadCompressionBuffer = 605;

using CreateFn = BOOL(WINAPI*)(DWORD, PCOMPRESS_ALLOCATION_ROUTINES, PDECOMPRESSOR_HANDLE);
using DecompressFn = BOOL(WINAPI*)(DECOMPRESSOR_HANDLE, PVOID, SIZE_T, PVOID, SIZE_T, PSIZE_T);
using CloseFn = BOOL(WINAPI*)(DECOMPRESSOR_HANDLE);

std::uint64_t Fnv1a(const unsigned char* p, std::size_t n) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
  return h;
}

// FARPROC to the real signature, through void* to keep -Wcast-function-type quiet.
template <class Fn>
Fn Proc(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::wstring DllPath() {
  std::wstring path(MAX_PATH, L'\0');
  const DWORD len = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(len);
  path.erase(path.find_last_of(L"\\/") + 1);
  return path + L"..\\cabinet.dll";
}

class CabinetDll : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    module_ = LoadLibraryW(DllPath().c_str());
    ASSERT_NE(module_, nullptr) << "LoadLibraryW failed: " << GetLastError();
    create_ = Proc<CreateFn>(module_, "CreateDecompressor");
    decompress_ = Proc<DecompressFn>(module_, "Decompress");
    close_ = Proc<CloseFn>(module_, "CloseDecompressor");
    // Wine prefers its builtin cabinet.dll (which lacks this API) unless
    // WINEDLLOVERRIDES=cabinet=n,b; ctest sets that for this test.
    ASSERT_TRUE(create_ && decompress_ && close_) << "loaded a cabinet.dll without the API";
  }
  static void TearDownTestSuite() {
    if (module_) FreeLibrary(module_);
  }

  void SetUp() override {
    if (!create_) {
      GTEST_SKIP();
    }
    ASSERT_TRUE(create_(COMPRESS_ALGORITHM_LZMS, nullptr, &handle_));
  }
  void TearDown() override {
    if (handle_) {
      EXPECT_TRUE(close_(handle_));
    }
  }

  // Runs Decompress and returns {ok, last error, reported size}.
  struct Outcome {
    BOOL ok;
    DWORD error;
    SIZE_T size;
  };
  Outcome Run(const unsigned char* in, std::size_t in_size, void* out, std::size_t out_size) {
    SetLastError(0);
    SIZE_T size = 12345;
    const BOOL ok = decompress_(handle_, const_cast<unsigned char*>(in), in_size, out, out_size,
                                &size);
    return {ok, ok ? 0 : GetLastError(), size};
  }

  static inline HMODULE module_ = nullptr;
  static inline CreateFn create_ = nullptr;
  static inline DecompressFn decompress_ = nullptr;
  static inline CloseFn close_ = nullptr;
  DECOMPRESSOR_HANDLE handle_ = nullptr;
};

struct Vector {
  const char* name;
  const unsigned char* stream;
  std::size_t stream_size;
  std::size_t size;
  std::uint64_t fnv;
};

const Vector kVectors[] = {
    {"text", kTextStream, sizeof kTextStream, kTextSize, kTextFnv},
    {"code", kCodeStream, sizeof kCodeStream, kCodeSize, kCodeFnv},
    {"chunks", kCountersStream, sizeof kCountersStream, kCountersSize, kCountersFnv},
    {"stored", kNoiseStream, sizeof kNoiseStream, kNoiseSize, kNoiseFnv},
};

TEST_F(CabinetDll, DecodesEveryVectorAndReportsItsLength) {
  for (const Vector& v : kVectors) {
    SCOPED_TRACE(v.name);
    std::vector<unsigned char> out(v.size + 100);
    const Outcome r = Run(v.stream, v.stream_size, out.data(), out.size());
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.size, v.size);
    EXPECT_EQ(Fnv1a(out.data(), v.size), v.fnv);
  }
}

TEST_F(CabinetDll, TooSmallOutputAndSizeQueryReportTheNeededSize) {
  for (const Vector& v : kVectors) {
    SCOPED_TRACE(v.name);
    std::vector<unsigned char> out(v.size - 1);
    Outcome r = Run(v.stream, v.stream_size, out.data(), out.size());
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(r.size, v.size);
    r = Run(v.stream, v.stream_size, nullptr, 0);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(r.size, v.size);
  }
}

TEST_F(CabinetDll, DamagedBuffersFailWithBadCompressionBuffer) {
  std::vector<unsigned char> out(kCodeSize);
  std::vector<unsigned char> s(kCodeStream, kCodeStream + sizeof kCodeStream);
  // Truncated, with trailing bytes, with a bad check byte, and empty.
  EXPECT_EQ(Run(s.data(), s.size() - 1, out.data(), out.size()).error, kErrorBadCompressionBuffer);
  s.push_back(0);
  EXPECT_EQ(Run(s.data(), s.size(), out.data(), out.size()).error, kErrorBadCompressionBuffer);
  s.pop_back();
  s[6] ^= 1;
  EXPECT_EQ(Run(s.data(), s.size(), out.data(), out.size()).error, kErrorBadCompressionBuffer);
  EXPECT_EQ(Run(nullptr, 0, out.data(), out.size()).error, kErrorBadCompressionBuffer);
  // A damaged body: chunk data made all-ones cannot decode.
  s[6] ^= 1;
  for (std::size_t i = 28; i < s.size(); ++i) s[i] = 0xFF;
  const Outcome r = Run(s.data(), s.size(), out.data(), out.size());
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, kErrorBadCompressionBuffer);
}

TEST_F(CabinetDll, NullPointersAreRefused) {
  unsigned char out[16];
  SIZE_T size = 0;
  SetLastError(0);
  EXPECT_FALSE(decompress_(nullptr, const_cast<unsigned char*>(kTextStream), sizeof kTextStream,
                           out, sizeof out, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(close_(nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(decompress_(handle_, nullptr, 10, out, sizeof out, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(CabinetDllCreate, OnlyLzmsBufferModeIsOffered) {
  const HMODULE module = LoadLibraryW(DllPath().c_str());
  ASSERT_NE(module, nullptr);
  auto create = Proc<CreateFn>(module, "CreateDecompressor");
  auto close = Proc<CloseFn>(module, "CloseDecompressor");
  ASSERT_TRUE(create && close);
  for (DWORD algorithm : {0ul, 1ul, 2ul, 3ul, 4ul, 6ul, 5ul | COMPRESS_RAW, 0xFFFFFFFFul}) {
    DECOMPRESSOR_HANDLE h = reinterpret_cast<DECOMPRESSOR_HANDLE>(1);
    SetLastError(0);
    EXPECT_FALSE(create(algorithm, nullptr, &h)) << algorithm;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << algorithm;
  }
  SetLastError(0);
  EXPECT_FALSE(create(COMPRESS_ALGORITHM_LZMS, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  FreeLibrary(module);
}

struct CountingAllocator {
  int live = 0;
  static PVOID __cdecl Allocate(PVOID context, SIZE_T size) {
    ++static_cast<CountingAllocator*>(context)->live;
    return HeapAlloc(GetProcessHeap(), 0, size);
  }
  static VOID __cdecl Free(PVOID context, PVOID memory) {
    --static_cast<CountingAllocator*>(context)->live;
    HeapFree(GetProcessHeap(), 0, memory);
  }
};

TEST(CabinetDllCreate, UsesTheCallersAllocationRoutines) {
  const HMODULE module = LoadLibraryW(DllPath().c_str());
  ASSERT_NE(module, nullptr);
  auto create = Proc<CreateFn>(module, "CreateDecompressor");
  auto decompress = Proc<DecompressFn>(module, "Decompress");
  auto close = Proc<CloseFn>(module, "CloseDecompressor");
  ASSERT_TRUE(create && decompress && close);
  CountingAllocator counter;
  COMPRESS_ALLOCATION_ROUTINES routines{&CountingAllocator::Allocate, &CountingAllocator::Free,
                                        &counter};
  DECOMPRESSOR_HANDLE h = nullptr;
  ASSERT_TRUE(create(COMPRESS_ALGORITHM_LZMS, &routines, &h));
  EXPECT_EQ(counter.live, 1);
  std::vector<unsigned char> out(kTextSize);
  SIZE_T size = 0;
  EXPECT_TRUE(decompress(h, const_cast<unsigned char*>(kTextStream), sizeof kTextStream,
                         out.data(), out.size(), &size));
  EXPECT_EQ(size, kTextSize);
  EXPECT_TRUE(close(h));
  EXPECT_EQ(counter.live, 0);
  FreeLibrary(module);
}

}  // namespace

// lumaro_add_gtest links with -municode, whose startup calls wmain; gtest_main
// only provides main.
int wmain(int argc, wchar_t** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
