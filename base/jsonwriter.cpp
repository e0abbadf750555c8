#include "base/jsonwriter.h"

#include <cmath>
#include <cstdio>

namespace {

void WriteString(const std::string& value, std::string& out) {
  out += '"';
  const size_t n = value.size();
  for (size_t i = 0; i < n; ++i) {
    const char ch = value[i];
    const auto byte = static_cast<unsigned char>(ch);
    if (ch == '\\') {
      out += "\\\\";
    } else if (ch == '"') {
      out += "\\\"";
    } else if (ch == '\b') {
      out += "\\b";
    } else if (ch == '\f') {
      out += "\\f";
    } else if (ch == '\n') {
      out += "\\n";
    } else if (ch == '\r') {
      out += "\\r";
    } else if (ch == '\t') {
      out += "\\t";
    } else if (byte <= 0x1f) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", byte);
      out += buffer;
    } else if (byte == 0xe2 && i + 2 < n && static_cast<unsigned char>(value[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(value[i + 2]) == 0xa8 ||
                static_cast<unsigned char>(value[i + 2]) == 0xa9)) {
      out += static_cast<unsigned char>(value[i + 2]) == 0xa8 ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out += ch;
    }
  }
  out += '"';
}

void Write(const nlohmann::json& value, std::string& out) {
  char buffer[32];
  switch (value.type()) {
    case nlohmann::json::value_t::null:
    case nlohmann::json::value_t::discarded:
    case nlohmann::json::value_t::binary:
      out += "null";
      break;
    case nlohmann::json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      break;
    case nlohmann::json::value_t::number_integer:
      std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(value.get<int64_t>()));
      out += buffer;
      break;
    case nlohmann::json::value_t::number_unsigned:
      std::snprintf(buffer, sizeof buffer, "%llu",
                    static_cast<unsigned long long>(value.get<uint64_t>()));
      out += buffer;
      break;
    case nlohmann::json::value_t::number_float: {
      const double number = value.get<double>();
      if (std::isfinite(number)) {
        std::snprintf(buffer, sizeof buffer, "%.17g", number);
        out += buffer;
      } else {
        out += "null";
      }
      break;
    }
    case nlohmann::json::value_t::string:
      WriteString(value.get_ref<const std::string&>(), out);
      break;
    case nlohmann::json::value_t::array: {
      out += '[';
      bool first = true;
      for (const auto& item : value) {
        if (!first) out += ", ";
        first = false;
        Write(item, out);
      }
      out += ']';
      break;
    }
    case nlohmann::json::value_t::object: {
      out += '{';
      bool first = true;
      for (auto it = value.begin(); it != value.end(); ++it) {
        if (!first) out += ", ";
        first = false;
        WriteString(it.key(), out);
        out += ": ";
        Write(it.value(), out);
      }
      out += '}';
      break;
    }
  }
}

}  // namespace

std::string WriteJson(const nlohmann::json& value) {
  std::string out;
  Write(value, out);
  return out;
}
