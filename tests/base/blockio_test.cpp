#include "base/blockio.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/scopedhandle.h"
#include "tests/support/tempdir.h"

namespace {

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  uint32_t seed = 5;
  for (char& c : bytes) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
  return bytes;
}

UniqueHandle Open(const std::wstring& path, DWORD access) {
  return UniqueHandle(::CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

TEST(WriteBlock, WritesEverySliceAndReportsAFailure) {
  TempDir dir;
  // More than three slices of 1 MiB and a few bytes.
  const std::string bytes = Pattern(3 * (1 << 20) + (1 << 19) + 7);
  ASSERT_TRUE(WriteFileBytes(dir.File(L"out"), ""));
  {
    UniqueHandle file = Open(dir.File(L"out"), GENERIC_WRITE);
    DWORD written = 0;
    ASSERT_TRUE(WriteBlock(file.Get(), reinterpret_cast<const uint8_t*>(bytes.data()),
                           static_cast<DWORD>(bytes.size()), written));
    EXPECT_EQ(bytes.size(), written);
  }
  EXPECT_TRUE(ReadFileBytes(dir.File(L"out")) == bytes);

  UniqueHandle read_only = Open(dir.File(L"out"), GENERIC_READ);
  DWORD written = 1;
  EXPECT_FALSE(WriteBlock(read_only.Get(), reinterpret_cast<const uint8_t*>(bytes.data()),
                          static_cast<DWORD>(bytes.size()), written));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ::GetLastError());
  EXPECT_EQ(0u, written);
}
