#include "tests/support/crcinfomutator.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace {

const char* const kNumbers[] = {"99999999999999999999999999",
                                "-99999999999999999999",
                                "4294967296",
                                "4294967295",
                                "2147483648",
                                "-2147483649",
                                "0x",
                                "0xFFFFFFFF",
                                "09",
                                "-0",
                                "+",
                                "",
                                " 12",
                                "1e9",
                                "0",
                                "10000000",
                                "10000001",
                                "18446744073709551616"};

const char* const kNames[] = {
    "..\\..\\escaped.exe",
    "../escaped.exe",
    "sub/escaped.exe",
    "C:escaped.exe",
    "C:\\escaped.exe",
    "\\\\server\\share\\escaped.exe",
    "\\\\?\\C:\\escaped.exe",
    "\\\\.\\pipe\\escaped",
    "Setup.exe:stream",
    "Setup.exe::$DATA",
    "CON",
    "nul.exe",
    "COM1.bin1234",
    "LPT\xB9.exe",
    "a<b>.exe",
    "a|b?.exe",
    "*.exe",
    "..",
    ".",
    "Setup.exe.",
    "Setup.exe ",
    " ",
    "x",
    ".exe",
    "%2e%2e%2fescaped.exe",
    "Setup.exe#frag",
    "Setup.exe?sig=other",
    "\x01\x02.exe",
    "Setup\x7f.exe",
    "\xe9t\xe9.exe",
    "very_long_name_______________________________________________________________________"
    "________________________________________________________________________________"
    "________________________________________________________________________________"
    "_______________________________________________.exe"};

const char kHtml[] =
    "<!DOCTYPE html>\r\n<html><head><title>Sign in</title>\r\n<style>a{color:red;}</style>"
    "</head>\r\n<body><p>Your session expired; please sign in again.</p>\r\n"
    "<script>var x = 1; var y = 2;</script></body></html>\r\n";

}  // namespace

uint32_t CrcInfoMutator::RunSeed() {
  char text[32] = {};
  if (::GetEnvironmentVariableA("VELTRA_FUZZ_SEED", text, sizeof text) > 0) {
    return static_cast<uint32_t>(std::strtoul(text, nullptr, 0));
  }
  return static_cast<uint32_t>(::GetTickCount64() ^ ::GetCurrentProcessId());
}

bool CrcInfoMutator::PickLine(const std::string& text, size_t& start, size_t& end) {
  // Fields end at a ";" or a CR LF: a record's name, its size, a CRC line.
  std::vector<std::pair<size_t, size_t>> fields;
  size_t from = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    const bool line_end = i + 1 < text.size() && text[i] == '\r' && text[i + 1] == '\n';
    if (i == text.size() || text[i] == ';' || line_end) {
      fields.emplace_back(from, i);
      from = i + (line_end ? 2 : 1);
      if (line_end) ++i;
    }
  }
  if (fields.empty()) return false;
  const auto& field = fields[Below(fields.size())];
  start = field.first;
  end = field.second;
  return true;
}

std::string CrcInfoMutator::MutateOnce(const std::string& text, std::string& kind) {
  std::string out = text;
  size_t start = 0;
  size_t end = 0;
  switch (Below(10)) {
    case 0:
      kind += "cut ";
      out.resize(Below(out.size() + 1));
      break;
    case 1: {
      kind += "duplicated ";
      const size_t from = Below(out.size() + 1);
      const size_t length = Below(out.size() - from + 1);
      const size_t copies = 1 + Below(Below(4) == 0 ? 200 : 3);
      const std::string span = out.substr(from, length);
      for (size_t i = 0; i < copies; ++i) out.insert(from, span);
      break;
    }
    case 2:
      kind += "flipped ";
      for (size_t i = 1 + Below(8); i > 0 && !out.empty(); --i) {
        out[Below(out.size())] ^= static_cast<char>(1u << Below(8));
      }
      break;
    case 3:
    case 4:
      kind += "number ";
      if (PickLine(out, start, end)) {
        out.replace(start, end - start, kNumbers[Below(sizeof kNumbers / sizeof *kNumbers)]);
      }
      break;
    case 5:
    case 6:
      kind += "name ";
      if (PickLine(out, start, end)) {
        out.replace(start, end - start, kNames[Below(sizeof kNames / sizeof *kNames)]);
      }
      break;
    case 7: {
      kind += "garbage ";
      std::string garbage(Below(Below(4) == 0 ? 65536 : 64), '\0');
      for (char& c : garbage) c = static_cast<char>(random_());
      out.insert(Below(out.size() + 1), garbage);
      break;
    }
    case 8:
      kind += "html ";
      out = Below(2) == 0 ? std::string(kHtml) : kHtml + out;
      break;
    default:
      kind += "separators ";
      for (size_t i = 1 + Below(4); i > 0; --i) {
        const char* const pieces[] = {";", "\r\n", "\r", "\n", ";;", "\r\n\r\n", "\0"};
        const size_t which = Below(7);
        out.insert(Below(out.size() + 1), pieces[which],
                   which == 6 ? 1 : std::strlen(pieces[which]));
      }
      break;
  }
  return out;
}

std::string CrcInfoMutator::Mutate(const std::string& valid, std::string* kind) {
  std::string out = valid;
  std::string done;
  for (size_t i = 1 + Below(3); i > 0; --i) out = MutateOnce(out, done);
  if (kind) *kind = done;
  return out;
}
