#include "base/jsonwriter.h"

#include <gtest/gtest.h>

TEST(WriteJson, CompactLayoutWithBlanksAfterSeparators) {
  nlohmann::json value = nlohmann::json::object();
  value["b"] = nlohmann::json::array({1, "two", true, nullptr});
  value["a"] = nlohmann::json::object();
  value["c"] = nlohmann::json::array();
  EXPECT_EQ("{\"a\": {}, \"b\": [1, \"two\", true, null], \"c\": []}", WriteJson(value));
  EXPECT_EQ("[]", WriteJson(nlohmann::json::array()));
}

TEST(WriteJson, KeysInByteOrder) {
  nlohmann::json value;
  value["\xE9t\xE9"] = 1;
  value["Z"] = 2;
  value["a"] = 3;
  EXPECT_EQ("{\"Z\": 2, \"a\": 3, \"\xE9t\xE9\": 1}", WriteJson(value));
}

TEST(WriteJson, Numbers) {
  EXPECT_EQ("-32767", WriteJson(nlohmann::json(-32767)));
  EXPECT_EQ("2147483647", WriteJson(nlohmann::json(2147483647)));
  EXPECT_EQ("0.5", WriteJson(nlohmann::json(0.5)));
  EXPECT_EQ("0.10000000000000001", WriteJson(nlohmann::json(0.1)));
}

TEST(WriteJson, EscapesOnlyQuotesBackslashesAndControls) {
  EXPECT_EQ("\"\\\"\\\\\\b\\f\\n\\r\\t\\u0001\\u001f /\"",
            WriteJson(nlohmann::json("\"\\\b\f\n\r\t\x01\x1f /")));
  EXPECT_EQ(std::string("\"a\\u0000b\""), WriteJson(nlohmann::json(std::string("a\0b", 3))));
  EXPECT_EQ("\"\x7f\"", WriteJson(nlohmann::json("\x7f")));
}

TEST(WriteJson, AnsiBytesAbove7fPassThrough) {
  // Not valid UTF-8: must neither be rejected nor altered.
  const std::string ansi = "Fehler: \xC4\xD6\xDC \x80\x81\xFE\xFF \xE2\x80";
  EXPECT_EQ("\"" + ansi + "\"", WriteJson(nlohmann::json(ansi)));
}

TEST(WriteJson, LineAndParagraphSeparatorsAreEscaped) {
  EXPECT_EQ("\"a\\u2028b\\u2029c\"", WriteJson(nlohmann::json("a\xE2\x80\xA8" "b\xE2\x80\xA9" "c")));
}
