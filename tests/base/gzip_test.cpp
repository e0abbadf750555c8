// The gzip writer: compression level from the first byte, what reads back,
// the wrong-mode and double-open/close guards, and damaged input.
#include <windows.h>

#include <gtest/gtest.h>

#include <random>
#include <string>

#include <zlib.h>

#include "base/gzip.h"
#include "tests/support/gunzip.h"
#include "tests/support/tempdir.h"

namespace {

// Text with enough repetition that the levels compress it differently.
std::string SampleText(size_t size, uint32_t seed) {
  static const char* const kWords[] = {"download",       "part",   "crc ", "Veltra",   "\r\n",
                                       "{\"message\": ", "0x2ee2", "\t",   "\xe9\xfc", "log "};
  std::mt19937 random(seed);
  std::string text;
  while (text.size() < size) {
    text += kWords[random() % 10];
    if (random() % 7 == 0) text += static_cast<char>(random() % 256);
  }
  text.resize(size);
  return text;
}

// What zlib's own deflate makes of the bytes as a gzip stream at `level`.
std::string Deflate(const std::string& bytes, int level) {
  z_stream stream{};
  EXPECT_EQ(Z_OK, deflateInit2(&stream, level, Z_DEFLATED, MAX_WBITS + 16, 8, Z_DEFAULT_STRATEGY));
  std::string out(deflateBound(&stream, static_cast<uLong>(bytes.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = static_cast<uInt>(bytes.size());
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(Z_STREAM_END, deflate(&stream, Z_FINISH));
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

std::string ToString(const ByteBuffer& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.Data()), buffer.Size());
}

bool WriteGzip(const std::wstring& path, const std::string& bytes, int level) {
  zlib::CGZip gzip;
  gzip.level = level;
  if (!gzip.Open(path, zlib::ZIP_MODE_WRITE)) return false;
  const bool written = gzip.WriteBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
  return gzip.Close() && written;
}

std::wstring ExecutableFolder() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder = path;
  return folder.substr(0, folder.rfind(L'\\'));
}

}  // namespace

TEST(GzipWriter, LevelNineAppliesFromTheFirstByteAndReadsBackExactly) {
  TempDir dir;
  const std::string text = SampleText(200000, 7);
  ASSERT_NE(Deflate(text, 9), Deflate(text, 6)) << "sample does not tell the levels apart";

  ASSERT_TRUE(WriteGzip(dir.File(L"l9.gz"), text, 9));
  const std::string gz = ReadFileBytes(dir.File(L"l9.gz"));
  EXPECT_EQ(Deflate(text, 9), gz);
  ASSERT_GT(gz.size(), 9u);
  EXPECT_EQ(2, gz[8]) << "gzip header flags maximum compression";
  EXPECT_EQ(text, Gunzip(gz));

  zlib::CGZip reader;
  ASSERT_TRUE(reader.Open(dir.File(L"l9.gz"), zlib::ZIP_MODE_READ));
  ByteBuffer back;
  // The chunk size is the compressed length, far below the content's, so
  // this joins many chunks.
  EXPECT_TRUE(reader.ReadAll(back));
  EXPECT_EQ(text, ToString(back));
}

TEST(GzipWriter, DefaultLevelMatchesZlibDefault) {
  TempDir dir;
  const std::string text = SampleText(50000, 3);
  ASSERT_TRUE(WriteGzip(dir.File(L"d.gz"), text, -1));
  EXPECT_EQ(Deflate(text, Z_DEFAULT_COMPRESSION), ReadFileBytes(dir.File(L"d.gz")));
}

TEST(GzipWriter, WriteStringWritesUtf16UnitsWithoutMarkOrTerminator) {
  TempDir dir;
  zlib::CGZip gzip;
  ASSERT_TRUE(gzip.Open(dir.File(L"s.gz"), zlib::ZIP_MODE_WRITE));
  EXPECT_TRUE(gzip.WriteString(L"ab"));
  EXPECT_TRUE(gzip.WriteString(L"\x20ac"));
  EXPECT_TRUE(gzip.WriteString(L""));
  ASSERT_TRUE(gzip.Close());
  EXPECT_EQ(std::string("a\0b\0\xac\x20", 6), Gunzip(ReadFileBytes(dir.File(L"s.gz"))));
}

TEST(GzipWriter, SecondOpenFailsAndLeavesTheFirstFileOpen) {
  TempDir dir;
  zlib::CGZip gzip;
  ASSERT_TRUE(gzip.Open(dir.File(L"a.gz"), zlib::ZIP_MODE_WRITE));
  EXPECT_FALSE(gzip.Open(dir.File(L"b.gz"), zlib::ZIP_MODE_WRITE));
  EXPECT_FALSE(gzip.Open(dir.File(L"a.gz"), zlib::ZIP_MODE_READ));
  EXPECT_EQ(zlib::ZIP_MODE_WRITE, gzip.mode);
  EXPECT_TRUE(gzip.WriteBuffer("xyz", 3));
  EXPECT_TRUE(gzip.Close());
  EXPECT_FALSE(gzip.Close());
  EXPECT_EQ("xyz", Gunzip(ReadFileBytes(dir.File(L"a.gz"))));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(dir.File(L"b.gz").c_str()));
}

TEST(GzipWriter, WrongModeOrNothingOpenDoesNothing) {
  TempDir dir;
  ASSERT_TRUE(WriteGzip(dir.File(L"r.gz"), "content", 9));
  const std::string before = ReadFileBytes(dir.File(L"r.gz"));

  zlib::CGZip idle;
  char buffer[16];
  ByteBuffer all;
  EXPECT_FALSE(idle.IsOpen());
  EXPECT_FALSE(idle.WriteBuffer("x", 1));
  EXPECT_EQ(0, idle.ReadBuffer(buffer, sizeof(buffer)));
  EXPECT_FALSE(idle.ReadAll(all));
  EXPECT_FALSE(idle.Close());
  EXPECT_FALSE(idle.Open(dir.File(L"r.gz"), 3));
  EXPECT_EQ(zlib::ZIP_MODE_NONE, idle.mode);

  zlib::CGZip reader;
  ASSERT_TRUE(reader.Open(dir.File(L"r.gz"), zlib::ZIP_MODE_READ));
  EXPECT_FALSE(reader.WriteBuffer("x", 1));
  EXPECT_FALSE(reader.WriteString(L"x"));
  ASSERT_TRUE(reader.Close());
  EXPECT_EQ(before, ReadFileBytes(dir.File(L"r.gz")));

  zlib::CGZip writer;
  ASSERT_TRUE(writer.Open(dir.File(L"w.gz"), zlib::ZIP_MODE_WRITE));
  EXPECT_EQ(0, writer.ReadBuffer(buffer, sizeof(buffer)));
  EXPECT_FALSE(writer.ReadAll(all));
}

TEST(GzipWriter, OpenFailsForMissingFilesAndFolders) {
  TempDir dir;
  zlib::CGZip gzip;
  EXPECT_FALSE(gzip.Open(dir.File(L"missing.gz"), zlib::ZIP_MODE_READ));
  EXPECT_FALSE(gzip.Open(dir.File(L"no\\such\\folder.gz"), zlib::ZIP_MODE_WRITE));
  EXPECT_EQ(zlib::ZIP_MODE_NONE, gzip.mode);
  EXPECT_FALSE(gzip.IsOpen());
}

TEST(GzipWriter, ReadOnlyFileCanBeRead) {
  TempDir dir;
  ASSERT_TRUE(WriteGzip(dir.File(L"ro.gz"), "kept", 9));
  ASSERT_TRUE(::SetFileAttributesW(dir.File(L"ro.gz").c_str(), FILE_ATTRIBUTE_READONLY));
  zlib::CGZip gzip;
  ASSERT_TRUE(gzip.Open(dir.File(L"ro.gz"), zlib::ZIP_MODE_READ));
  ByteBuffer all;
  EXPECT_TRUE(gzip.ReadAll(all));
  EXPECT_EQ("kept", ToString(all));
}

TEST(GzipWriter, ReadAllOfEmptyContentGivesFalseAndNothing) {
  TempDir dir;
  ASSERT_TRUE(WriteGzip(dir.File(L"e.gz"), "", 9));
  zlib::CGZip gzip;
  ASSERT_TRUE(gzip.Open(dir.File(L"e.gz"), zlib::ZIP_MODE_READ));
  ByteBuffer all;
  const std::string old = SampleText(3, 1);
  all.Assign(old.data(), old.size());
  EXPECT_FALSE(gzip.ReadAll(all));
  EXPECT_EQ(0u, all.Size());
}

TEST(GzipWriter, TruncatedOrCorruptFileReadsAsFailure) {
  TempDir dir;
  const std::string text = SampleText(100000, 11);
  ASSERT_TRUE(WriteGzip(dir.File(L"full.gz"), text, 9));
  std::string gz = ReadFileBytes(dir.File(L"full.gz"));

  ASSERT_TRUE(WriteFileBytes(dir.File(L"cut.gz"), gz.substr(0, gz.size() / 2)));
  zlib::CGZip cut;
  ASSERT_TRUE(cut.Open(dir.File(L"cut.gz"), zlib::ZIP_MODE_READ));
  ByteBuffer all;
  EXPECT_FALSE(cut.ReadAll(all));
  EXPECT_EQ(0u, all.Size());

  gz[gz.size() - 6] ^= 0x55;  // inside the CRC-32 of the trailer
  ASSERT_TRUE(WriteFileBytes(dir.File(L"bad.gz"), gz));
  zlib::CGZip bad;
  ASSERT_TRUE(bad.Open(dir.File(L"bad.gz"), zlib::ZIP_MODE_READ));
  EXPECT_FALSE(bad.ReadAll(all));
}

// Leaves a level-9 file and its plain bytes beside the test program; the
// CTest step gzip_outside_readers checks it with Linux's gzip and Python.
TEST(GzipWriter, WritesFileForOutsideReaders) {
  const std::wstring folder = ExecutableFolder() + L"\\gzip_check";
  ::CreateDirectoryW(folder.c_str(), nullptr);
  const std::string text = SampleText(300000, ::GetTickCount());
  ASSERT_TRUE(WriteFileBytes(folder + L"\\level9.bin", text));
  ASSERT_TRUE(WriteGzip(folder + L"\\level9.gz", text, 9));
}
