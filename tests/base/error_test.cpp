// How every report composes its text and fills its record.
#include "base/error.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <regex>

#include "base/errorcodes.h"
#include "tests/support/debugcapture.h"

namespace {

std::string SystemTextA(DWORD number) {
  char* text = nullptr;
  DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM,
                                nullptr, number, 1033, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = length ? std::string(text, length) : std::string();
  LocalFree(text);
  return result;
}

nlohmann::json LastRecord() {
  nlohmann::json list = Error::GetErrorListJson();
  return list.empty() ? nlohmann::json() : list.back();
}

// Splits the narrow debugger text into the part before " At: " and the
// time stamp, and checks the stamp's asctime layout.
std::string WithoutTimeStamp(const std::string& text) {
  const size_t at = text.rfind(" At: ");
  EXPECT_NE(std::string::npos, at) << text;
  if (at == std::string::npos) return text;
  const std::string stamp = text.substr(at + 5);
  EXPECT_TRUE(std::regex_match(
      stamp, std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} "
                        "[0-9]{4}\n")))
      << "stamp: " << stamp;
  return text.substr(0, at);
}

class ErrorText : public ::testing::Test {
 protected:
  void SetUp() override { Error::ClearErrors(); }
  void TearDown() override { Error::ClearErrors(); }

  // Reports through the narrow LogError and returns the debugger text
  // without its time stamp.
  std::string NarrowText(uint32_t number, const std::string& file = "filedownload",
                         int32_t line = 42) {
    DebugCapture capture;
    Error::LogError("Failed", number, file, line);
    EXPECT_EQ(1u, capture.Narrow().size());
    return capture.Narrow().empty() ? "" : WithoutTimeStamp(capture.Narrow().back());
  }
};

}  // namespace

TEST_F(ErrorText, WinInetNumberCarriesItsName) {
  EXPECT_EQ("Failed Error code: 0x2ee2 ERROR_INTERNET_TIMEOUT File: filedownload Line: 42",
            NarrowText(12002));
  EXPECT_EQ("ERROR_INTERNET_TIMEOUT", LastRecord()["detailed_message"]);
  EXPECT_EQ(12002, LastRecord()["error_number"]);
}

TEST_F(ErrorText, ProgramNumbersAreShownUnsignedAndNamed) {
  EXPECT_EQ("Failed Error code: 0xffff8001 DL_MANAGER_MAX_ATTEMPTS_EXCEEDED File: filedownload "
            "Line: 42",
            NarrowText(static_cast<uint32_t>(DL_MANAGER_MAX_ATTEMPTS_EXCEEDED)));
  EXPECT_EQ(-32767, LastRecord()["error_number"]);
}

TEST_F(ErrorText, NameRangeWithoutEntryEndsInABlank) {
  EXPECT_EQ("Failed Error code: 0xffff8005  File: filedownload Line: 42",
            NarrowText(static_cast<uint32_t>(DL_MANAGER_ERRORS_RESOLVED)));
  EXPECT_EQ("", LastRecord()["detailed_message"]);
  // 12035 has no name and is not looked up in the system tables either.
  EXPECT_EQ("Failed Error code: 0x2f03  File: filedownload Line: 42", NarrowText(12035));
  EXPECT_EQ("", LastRecord()["detailed_message"]);
}

TEST_F(ErrorText, SystemNumberCarriesTheSystemText) {
  const std::string system_text = SystemTextA(ERROR_FILE_NOT_FOUND);
  ASSERT_FALSE(system_text.empty()) << "Wine has no message table for code 2";
  EXPECT_EQ("Failed Error code: 0x2 Windows error message: " + system_text +
                " File: filedownload Line: 42",
            NarrowText(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(system_text, LastRecord()["detailed_message"]);
  // The formatter's own line break is kept.
  EXPECT_EQ('\n', system_text.back());
}

TEST_F(ErrorText, ZeroAndUnknownNumbersAddNoDetail) {
  EXPECT_EQ("Failed Error code: 0x0 File: filedownload Line: 42", NarrowText(0));
  EXPECT_EQ("", LastRecord()["detailed_message"]);
  // -32768 lies outside the name range: it goes to the system tables, which
  // have nothing for it.
  EXPECT_EQ("Failed Error code: 0xffff8000 File: filedownload Line: 42",
            NarrowText(static_cast<uint32_t>(DL_MANAGER_NO_ERROR)));
  EXPECT_EQ("", LastRecord()["detailed_message"]);
}

TEST_F(ErrorText, EmptyFileAndLineZeroAreLeftOut) {
  EXPECT_EQ("Failed Error code: 0x0", NarrowText(0, "", 0));
  EXPECT_EQ("Failed Error code: 0x0 Line: 7", NarrowText(0, "", 7));
  EXPECT_EQ("Failed Error code: 0x0 File: x", NarrowText(0, "x", 0));
}

TEST_F(ErrorText, WideLogErrorHasNoTimeStampAndNoLineEnd) {
  DebugCapture capture;
  Error::LogError(L"Opening connection failed", 12029, "filedownload", 10);
  ASSERT_EQ(1u, capture.Wide().size());
  EXPECT_EQ(L"Opening connection failed Error code: 0x2efd ERROR_INTERNET_CANNOT_CONNECT File: "
            L"filedownload Line: 10",
            capture.Wide().back());
  EXPECT_TRUE(capture.Narrow().empty());
  EXPECT_EQ("Opening connection failed", LastRecord()["message"]);
  EXPECT_EQ("ERROR_INTERNET_CANNOT_CONNECT", LastRecord()["detailed_message"]);
}

TEST_F(ErrorText, WideLogErrorUsesTheSystemTextToo) {
  DebugCapture capture;
  Error::LogError(L"x", ERROR_ACCESS_DENIED, "", 0);
  ASSERT_EQ(1u, capture.Wide().size());
  const std::string system_text = SystemTextA(ERROR_ACCESS_DENIED);
  EXPECT_EQ(L"x Error code: 0x5 Windows error message: " +
                std::wstring(system_text.begin(), system_text.end()),
            capture.Wide().back());
  EXPECT_EQ(system_text, LastRecord()["detailed_message"]);
}

TEST_F(ErrorText, LogMessageHasNoNumberPart) {
  DebugCapture capture;
  Error::LogMessage("An unhandled exception occured. Application will be closed", "dlgapplication",
                    76);
  Error::LogMessage(L"Opening connection: ", "filedownload", 3);
  ASSERT_EQ(1u, capture.Narrow().size());
  ASSERT_EQ(1u, capture.Wide().size());
  EXPECT_EQ("An unhandled exception occured. Application will be closed File: dlgapplication Line: 76",
            WithoutTimeStamp(capture.Narrow().back()));
  EXPECT_EQ(L"Opening connection:  File: filedownload Line: 3\r\n", capture.Wide().back());
  const nlohmann::json list = Error::GetErrorListJson();
  ASSERT_EQ(2u, list.size());
  EXPECT_EQ(0, list[0]["error_number"]);
  EXPECT_EQ("", list[0]["detailed_message"]);
  EXPECT_EQ(76, list[0]["line"]);
  EXPECT_EQ("dlgapplication", list[0]["file"]);
  EXPECT_EQ("Opening connection: ", list[1]["message"]);
}

TEST_F(ErrorText, RecordErrorWritesNothingToTheDebugger) {
  DebugCapture capture;
  Error::RecordError("Couldn't read file x", ERROR_FILE_NOT_FOUND, "filesystem", 12);
  Error::RecordError(L"wide", 12031, "filesystem", 13);
  EXPECT_TRUE(capture.Narrow().empty());
  EXPECT_TRUE(capture.Wide().empty());
  const nlohmann::json list = Error::GetErrorListJson();
  ASSERT_EQ(2u, list.size());
  EXPECT_EQ(SystemTextA(ERROR_FILE_NOT_FOUND), list[0]["detailed_message"]);
  EXPECT_EQ("ERROR_INTERNET_CONNECTION_RESET", list[1]["detailed_message"]);
  EXPECT_EQ("wide", list[1]["message"]);
}

TEST_F(ErrorText, RecordHasExactlyTheSixMembers) {
  Error::RecordError("m", 5, "f", 9);
  const nlohmann::json record = LastRecord();
  ASSERT_TRUE(record.is_object());
  EXPECT_EQ(6u, record.size());
  for (const char* key : {"message", "detailed_message", "file"}) {
    EXPECT_TRUE(record[key].is_string()) << key;
  }
  for (const char* key : {"error_number", "line", "log_index"}) {
    EXPECT_TRUE(record[key].is_number_integer()) << key;
  }
}

TEST_F(ErrorText, AnsiBytesPassThroughUnchanged) {
  const std::string message = "Datei \xE4\xF6\xFC \x80\xFF nicht gefunden";
  Error::RecordError(message, 0, "f\xE9", 1);
  EXPECT_EQ(message, LastRecord()["message"].get<std::string>());
  EXPECT_EQ("f\xE9", LastRecord()["file"].get<std::string>());
}

TEST(ErrorFormatError, ComposesWithoutNameTableOrTimeStamp) {
  Error::ClearErrors();
  const std::string system_text = SystemTextA(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(L"Setup failed Error code: 0x2 Windows error message: " +
                std::wstring(system_text.begin(), system_text.end()) +
                L" File: downloadmanager Line: 9",
            Error::FormatError(L"Setup failed", ERROR_FILE_NOT_FOUND, "downloadmanager", 9));
  EXPECT_EQ(L"m Error code: 0x2ee2", Error::FormatError(L"m", 12002, "", 0));
  EXPECT_EQ(L"m Error code: 0x0 Line: 1", Error::FormatError(L"m", 0, "", 1));
  EXPECT_TRUE(Error::GetErrorListJson().empty()) << "FormatError must not record";
}

TEST(ErrorGetErrorName, CoversExactlyTheNamedNumbers) {
  EXPECT_EQ("ERROR_INTERNET_OUT_OF_HANDLES", Error::GetErrorName(12001));
  EXPECT_EQ("ERROR_INTERNET_NEED_UI", Error::GetErrorName(12034));
  EXPECT_EQ("ERROR_INTERNET_HANDLE_EXISTS", Error::GetErrorName(12036));
  EXPECT_EQ("ERROR_INTERNET_SEC_CERT_REV_FAILED", Error::GetErrorName(12057));
  EXPECT_EQ("ERROR_INTERNET_SECURITY_CHANNEL_ERROR", Error::GetErrorName(12157));
  EXPECT_EQ("ERROR_INTERNET_DISCONNECTED", Error::GetErrorName(12163));
  EXPECT_EQ("ERROR_INTERNET_SEC_INVALID_CERT", Error::GetErrorName(12169));
  EXPECT_EQ("ERROR_INTERNET_LOGIN_FAILURE_DISPLAY_ENTITY_BODY", Error::GetErrorName(12174));
  EXPECT_EQ("DL_MANAGER_CRC_INCORRECT",
            Error::GetErrorName(static_cast<uint32_t>(DL_MANAGER_CRC_INCORRECT)));
  EXPECT_EQ("DL_MANAGER_RENAMED_OUTSIDE",
            Error::GetErrorName(static_cast<uint32_t>(DL_MANAGER_RENAMED_OUTSIDE)));

  int named = 0;
  for (uint32_t n = 11990; n <= 12180; ++n) named += Error::GetErrorName(n).empty() ? 0 : 1;
  EXPECT_EQ(69, named);
  for (uint32_t n : {12000u, 12035u, 12051u, 12058u, 12100u, 12156u, 12160u, 12161u, 12162u,
                     12168u, 12175u, 0u, 2u}) {
    EXPECT_EQ("", Error::GetErrorName(n)) << n;
  }
  EXPECT_EQ("", Error::GetErrorName(static_cast<uint32_t>(DL_MANAGER_NO_ERROR)));
  EXPECT_EQ("", Error::GetErrorName(static_cast<uint32_t>(DL_MANAGER_ERRORS_RESOLVED)));
}
