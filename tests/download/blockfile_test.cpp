#include "download/blockfile.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/scopedhandle.h"
#include "download/blockreader.h"
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

TEST(BlockReader, GivesEveryBlockInOrderFileAfterFile) {
  TempDir dir;
  BlockReader reader;
  // The same reader and buffers for a second file of another length; blocks
  // past the end come back empty.
  for (size_t size : {size_t{25000}, size_t{9999}}) {
    const std::string bytes = Pattern(size);
    ASSERT_TRUE(WriteFileBytes(dir.File(L"data"), bytes));
    UniqueHandle file = Open(dir.File(L"data"), GENERIC_READ);
    ASSERT_TRUE(file);
    reader.Begin(file.Get(), 10000, 4);
    std::string seen;
    for (size_t k = 0; k < 4; ++k) {
      const uint8_t* data = nullptr;
      DWORD read = 1, error = 1;
      ASSERT_TRUE(reader.Next(data, read, error)) << "block " << k;
      EXPECT_EQ(0u, error);
      EXPECT_EQ(std::min<size_t>(10000, size - std::min(size, k * 10000)), read) << "block " << k;
      seen.append(reinterpret_cast<const char*>(data), read);
    }
    reader.End();
    EXPECT_TRUE(seen == bytes);
  }
}

TEST(BlockReader, EndsHalfwayAndStartsAgain) {
  TempDir dir;
  ASSERT_TRUE(WriteFileBytes(dir.File(L"data"), Pattern(100000)));
  UniqueHandle file = Open(dir.File(L"data"), GENERIC_READ);
  BlockReader reader;
  reader.Begin(file.Get(), 1000, 100);
  const uint8_t* data = nullptr;
  DWORD read = 0, error = 0;
  ASSERT_TRUE(reader.Next(data, read, error));
  // The reader waits for a free buffer; End must not wait for the caller.
  const DWORD start = ::GetTickCount();
  reader.End();
  EXPECT_LT(::GetTickCount() - start, 1000u);
  EXPECT_FALSE(reader.IsRunning());

  // At most one block was read ahead: the file position says where the
  // next reading starts.
  LARGE_INTEGER position{};
  ASSERT_TRUE(::SetFilePointerEx(file.Get(), LARGE_INTEGER{}, &position, FILE_CURRENT));
  EXPECT_LE(position.QuadPart, 3000);
  ASSERT_TRUE(::SetFilePointerEx(file.Get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN));
  reader.Begin(file.Get(), 1000, 1);
  ASSERT_TRUE(reader.Next(data, read, error));
  EXPECT_EQ(1000u, read);
  EXPECT_EQ(Pattern(1000), std::string(reinterpret_cast<const char*>(data), read));
}

TEST(BlockReader, ReportsAFailedReadWithItsSystemCode) {
  TempDir dir;
  ASSERT_TRUE(WriteFileBytes(dir.File(L"data"), Pattern(5000)));
  // Opened for writing only: every read fails.
  UniqueHandle file = Open(dir.File(L"data"), GENERIC_WRITE);
  ASSERT_TRUE(file);
  BlockReader reader;
  reader.Begin(file.Get(), 1000, 5);
  const uint8_t* data = nullptr;
  DWORD read = 0, error = 0;
  EXPECT_FALSE(reader.Next(data, read, error));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), error);
  // Nothing is read after a failure: the next block reports the stop.
  EXPECT_FALSE(reader.Next(data, read, error));
  reader.End();
}

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
