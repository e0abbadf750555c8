// Header text and bodies of the form upload, byte for byte, and what an
// unreadable file does to them.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/error.h"
#include "base/scopedhandle.h"
#include "net/formconnection.h"
#include "net/formbody.h"
#include "tests/support/tempdir.h"

namespace {

std::string Text(const ByteBuffer& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.Data()), buffer.Size());
}

ByteBuffer Bytes(const std::string& text) {
  ByteBuffer buffer;
  buffer.Append(text.data(), text.size());
  return buffer;
}

// Forward slashes, as the program joins its paths.
std::wstring Slashed(std::wstring path) {
  for (wchar_t& c : path) {
    if (c == L'\\') c = L'/';
  }
  return path;
}

const std::string kFilePartHeader =
    "Content-Disposition: form-data; name=\"f.bin\"; filename=\"f.bin\"\r\n"
    "Content-Type: application/octet-stream\r\n;charset=binary\r\n"
    "Content-Transfer-Encoding: binary\r\nContent-Length: 3\r\n\r\n";

class FormBody : public ::testing::Test {
 protected:
  void SetUp() override { Error::ClearErrors(); }
  void TearDown() override { Error::ClearErrors(); }
  TempDir dir;
};

}  // namespace

TEST_F(FormBody, HeadersInCodeUnitOrderWithoutTrailingBreak) {
  HeaderMap headers;
  headers[L"b"] = L"2";
  headers[L"\x00e9t\x00e9"] = L"3";
  headers[L"Zeta"] = L"1";
  headers[L"a"] = L"x";
  EXPECT_EQ(L"Zeta: 1\r\na: x\r\nb: 2\r\n\x00e9t\x00e9: 3", FormatHeaders(headers));
  EXPECT_EQ(L"", FormatHeaders(HeaderMap()));
}

TEST_F(FormBody, MultipartContentTypeBreaksTheHeaderText) {
  HeaderMap headers;
  headers[L"Content-Type"] = kMultipartContentType;
  headers[L"Accept-Encoding"] = L"gzip,deflate";
  EXPECT_EQ(
      L"Accept-Encoding: gzip,deflate\r\nContent-Type: "
      L"multipart/form-data;boundary=gc0p4Jq0M2Yt08jU534c0p\r\n",
      FormatHeaders(headers));
  headers[L"User-Agent"] = L"u";
  EXPECT_EQ(
      L"Accept-Encoding: gzip,deflate\r\nContent-Type: "
      L"multipart/form-data;boundary=gc0p4Jq0M2Yt08jU534c0p\r\n\r\nUser-Agent: u",
      FormatHeaders(headers));
}

TEST_F(FormBody, UrlEncodedStyleFormJoinsFieldsInKeyOrder) {
  FormFields fields;
  fields[L"b"] = L"2";
  fields[L"a"] = L"x%20y";
  ByteBuffer body;
  FormatForm(fields, FormFiles(), ByteBuffer(), body);
  EXPECT_EQ("a=x%20y&b=2", Text(body));

  // A nameless field is its value alone; nothing else is escaped here.
  fields[L""] = L"v&w=1";
  FormatForm(fields, FormFiles(), ByteBuffer(), body);
  EXPECT_EQ("v&w=1&a=x%20y&b=2", Text(body));

  FormatForm(FormFields(), FormFiles(), ByteBuffer(), body);
  EXPECT_TRUE(body.Empty());
}

TEST_F(FormBody, RawBodyComesFirstThenTheFirstFile) {
  ASSERT_TRUE(WriteFileBytes(dir.File(L"b.bin"), "second"));
  ASSERT_TRUE(WriteFileBytes(dir.File(L"a.bin"), std::string("fi\0rst", 6)));
  FormFields fields;
  fields[L"a"] = L"1";
  FormFiles files;
  files[Slashed(dir.File(L"b.bin"))] = L"";
  files[Slashed(dir.File(L"a.bin"))] = L"ignored";

  ByteBuffer body;
  FormatForm(fields, files, Bytes(std::string("\x01\x00raw", 5)), body);
  EXPECT_EQ(std::string("\x01\x00raw", 5), Text(body));
  FormatForm(fields, files, ByteBuffer(), body);
  EXPECT_EQ(std::string("fi\0rst", 6), Text(body));
}

TEST_F(FormBody, MultipartOfOneFileAndOneField) {
  ASSERT_TRUE(WriteFileBytes(dir.File(L"f.bin"), "abc"));
  FormFiles files;
  files[Slashed(dir.File(L"f.bin"))] = L"";
  FormFields fields;
  fields[L"a"] = L"1";
  ByteBuffer body;
  FormatMultipartForm(fields, files, body);
  EXPECT_EQ("--gc0p4Jq0M2Yt08jU534c0p\r\n" + kFilePartHeader +
                "abc\r\n--gc0p4Jq0M2Yt08jU534c0p\r\n"
                "Content-Disposition: form-data; name=\"a\"\r\n\r\n"
                "1\r\n--gc0p4Jq0M2Yt08jU534c0p--\r\n",
            Text(body));
}

TEST_F(FormBody, MultipartPartsInKeyOrderAndBinaryContentUnchanged) {
  const std::string binary("\0\r\n--gc0p4Jq0M2Yt08jU534c0p\xff", 28);
  ASSERT_TRUE(WriteFileBytes(dir.File(L"z.bin"), binary));
  ASSERT_TRUE(WriteFileBytes(dir.File(L"f.bin"), "abc"));
  FormFiles files;
  files[Slashed(dir.File(L"z.bin"))] = L"";
  files[Slashed(dir.File(L"f.bin"))] = L"";
  FormFields fields;
  fields[L"y"] = L"2";
  fields[L"x"] = L"1";
  ByteBuffer body;
  FormatMultipartForm(fields, files, body);
  EXPECT_EQ("--gc0p4Jq0M2Yt08jU534c0p\r\n" + kFilePartHeader +
                "abc\r\n--gc0p4Jq0M2Yt08jU534c0p\r\n"
                "Content-Disposition: form-data; name=\"z.bin\"; filename=\"z.bin\"\r\n"
                "Content-Type: application/octet-stream\r\n;charset=binary\r\n"
                "Content-Transfer-Encoding: binary\r\nContent-Length: 28\r\n\r\n" +
                binary +
                "\r\n--gc0p4Jq0M2Yt08jU534c0p\r\n"
                "Content-Disposition: form-data; name=\"x\"\r\n\r\n1"
                "\r\n--gc0p4Jq0M2Yt08jU534c0p\r\n"
                "Content-Disposition: form-data; name=\"y\"\r\n\r\n2"
                "\r\n--gc0p4Jq0M2Yt08jU534c0p--\r\n",
            Text(body));
}

TEST_F(FormBody, MultipartOfFieldsOnlyOrNothing) {
  FormFields fields;
  fields[L"a"] = L"1";
  ByteBuffer body;
  FormatMultipartForm(fields, FormFiles(), body);
  EXPECT_EQ(
      "--gc0p4Jq0M2Yt08jU534c0p\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n"
      "1\r\n--gc0p4Jq0M2Yt08jU534c0p--\r\n",
      Text(body));
  FormatMultipartForm(FormFields(), FormFiles(), body);
  EXPECT_TRUE(body.Empty());
}

TEST_F(FormBody, UnopenableFileContributesNothingAndIsRecorded) {
  ASSERT_TRUE(WriteFileBytes(dir.File(L"f.bin"), "abc"));
  ASSERT_TRUE(WriteFileBytes(dir.File(L"empty.bin"), ""));
  ASSERT_TRUE(WriteFileBytes(dir.File(L"locked.bin"), "secret"));
  UniqueHandle locked(::CreateFileW(dir.File(L"locked.bin").c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(locked);
  const std::wstring missing = Slashed(dir.File(L"a_missing.bin"));
  FormFiles files;
  files[missing] = L"";
  files[Slashed(dir.File(L"empty.bin"))] = L"";
  files[Slashed(dir.File(L"f.bin"))] = L"";
  files[Slashed(dir.File(L"locked.bin"))] = L"";
  ByteBuffer body;
  FormatMultipartForm(FormFields(), files, body);
  EXPECT_EQ("--gc0p4Jq0M2Yt08jU534c0p\r\n" + kFilePartHeader +
                "abc\r\n--gc0p4Jq0M2Yt08jU534c0p\r\n--\r\n",
            Text(body));

  std::vector<nlohmann::json> errors;
  for (const auto& record : Error::GetErrorListJson()) {
    if (record["error_number"] != 0) errors.push_back(record);
  }
  ASSERT_EQ(2u, errors.size());
  EXPECT_EQ("Couldn't open file " + std::string(missing.begin(), missing.end()),
            errors[0]["message"]);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, errors[0]["error_number"]);
  EXPECT_EQ("fileupload", errors[0]["file"]);
  EXPECT_EQ(ERROR_SHARING_VIOLATION, errors[1]["error_number"]);

  // Not multipart: the first file in key order cannot be opened, so the body
  // is empty rather than another file's.
  FormatForm(FormFields(), files, ByteBuffer(), body);
  EXPECT_TRUE(body.Empty());
}

TEST_F(FormBody, ReadFileDataLogsItsSteps) {
  ASSERT_TRUE(WriteFileBytes(dir.File(L"f.bin"), "abc"));
  ByteBuffer data;
  ReadFileData(dir.File(L"f.bin"), data);
  EXPECT_EQ("abc", Text(data));
  const nlohmann::json log = Error::GetErrorListJson();
  ASSERT_EQ(3u, log.size());
  const std::wstring path = dir.File(L"f.bin");
  EXPECT_EQ("Reading file: " + std::string(path.begin(), path.end()), log[0]["message"]);
  EXPECT_EQ("Allocating buffer for file to read 3", log[1]["message"]);
  EXPECT_EQ("File read", log[2]["message"]);
  EXPECT_FALSE(Error::HasErrors());

  ReadFileData(dir.File(L"missing"), data);
  EXPECT_TRUE(data.Empty());
}
