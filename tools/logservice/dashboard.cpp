#include "tools/logservice/dashboard.h"

#include <nlohmann/json.hpp>

#include <map>
#include <set>

#include "tools/logservice/outcome.h"

namespace {

constexpr int64_t kDefaultLimit = 50;
constexpr int64_t kMaxLimit = 10000;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::map<std::string, std::string> QueryFields(const std::string& query) {
  std::map<std::string, std::string> fields;
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(start, end - start);
    const size_t equals = pair.find('=');
    if (!pair.empty()) {
      fields[Unescape(pair.substr(0, equals))] =
          equals == std::string::npos ? std::string() : Unescape(pair.substr(equals + 1));
    }
    start = end + 1;
  }
  return fields;
}

bool IsDay(const std::string& text) {
  if (text.empty()) return true;
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

bool ParseCount(const std::string& text, int64_t& out) {
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  out = std::stoll(text);
  return true;
}

// Standard Base64, as Basic authentication sends it.
std::string DecodeBase64(const std::string& text) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t buffer = 0;
  int bits = 0;
  for (const char c : text) {
    if (c == '=') break;
    const size_t value = kAlphabet.find(c);
    if (value == std::string::npos) return std::string();
    buffer = (buffer << 6) | static_cast<uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((buffer >> bits) & 0xff);
    }
  }
  return out;
}

// Takes as long for a near miss as for a far one.
bool SameSecret(const std::string& given, const std::string& secret) {
  unsigned char difference = given.size() == secret.size() ? 0 : 1;
  for (size_t i = 0; i < given.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i] ^ secret[i % secret.size()]);
  }
  return difference == 0;
}

std::string CsvField(const std::string& text) {
  // A leading = + - @ would be run as a formula by a spreadsheet.
  const size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
  const bool number =
      text.size() > digits && text.find_first_not_of("0123456789", digits) == std::string::npos;
  const bool formula =
      !number && !text.empty() && std::string("=+-@").find(text[0]) != std::string::npos;
  std::string out = "\"";
  if (formula) out += '\'';
  for (const char c : text) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

HttpResponse JsonAnswer(const nlohmann::json& value) {
  HttpResponse response;
  response.content_type = "application/json";
  response.body = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return response;
}

HttpResponse CsvAnswer(const std::vector<std::string>& header,
                       const std::vector<std::vector<std::string>>& rows, const std::string& name) {
  HttpResponse response;
  response.content_type = "text/csv; charset=utf-8";
  response.headers.emplace_back("Content-Disposition", "attachment; filename=\"" + name + "\"");
  const auto line = [&response](const std::vector<std::string>& fields) {
    for (size_t i = 0; i < fields.size(); ++i) {
      response.body += (i ? "," : "") + CsvField(fields[i]);
    }
    response.body += "\r\n";
  };
  line(header);
  for (const auto& row : rows) line(row);
  return response;
}

nlohmann::json SummaryJson(const UploadSummary& u) {
  return {{"id", u.id},           {"received", u.received}, {"day", DayOf(u.received)},
          {"release", u.release}, {"version", u.version},   {"outcome", u.outcome},
          {"records", u.records}, {"errors", u.errors}};
}

std::vector<std::string> SummaryFields(const UploadSummary& u) {
  return {std::to_string(u.id),
          DayOf(u.received),
          std::to_string(u.received),
          u.release,
          u.version,
          u.outcome,
          std::to_string(u.records),
          std::to_string(u.errors)};
}

}  // namespace

Dashboard::Dashboard(LogStore& store, std::string secret)
    : store_(store), secret_(std::move(secret)) {}

bool Dashboard::Authorized(const HttpRequest& request) const {
  const std::string& header = request.Header("authorization");
  if (header.rfind("Bearer ", 0) == 0) return SameSecret(header.substr(7), secret_);
  if (header.rfind("Basic ", 0) == 0) {
    const std::string pair = DecodeBase64(header.substr(6));
    const size_t colon = pair.find(':');
    return colon != std::string::npos && SameSecret(pair.substr(colon + 1), secret_);
  }
  return false;
}

HttpResponse Dashboard::Serve(const HttpRequest& request) {
  if (!Authorized(request)) {
    HttpResponse response = HttpResponse::Text(401, "The dashboard needs the maker's secret");
    response.headers.emplace_back("WWW-Authenticate", "Basic realm=\"Veltra logs\"");
    return response;
  }
  if (request.method != "GET") return HttpResponse::Text(405, "GET only");
  if (request.path == "/" || request.path == "/dashboard") {
    HttpResponse response;
    response.content_type = "text/html; charset=utf-8";
    response.body = kDashboardPage;
    // The page may reach its own origin only.
    response.headers.emplace_back("Content-Security-Policy",
                                  "default-src 'self'; script-src 'unsafe-inline'; style-src "
                                  "'unsafe-inline'; img-src 'self' data:");
    response.headers.emplace_back("Cache-Control", "no-store");
    return response;
  }
  auto fields = QueryFields(request.query);
  LogFilter filter{fields["release"], fields["from"], fields["to"], fields["outcome"]};
  if (!IsDay(filter.from_day) || !IsDay(filter.to_day)) {
    return HttpResponse::Text(400, "from and to are days: YYYY-MM-DD");
  }
  int64_t limit = kDefaultLimit;
  if (!fields["limit"].empty() && (!ParseCount(fields["limit"], limit) || limit > kMaxLimit)) {
    return HttpResponse::Text(400, "limit is a count up to " + std::to_string(kMaxLimit));
  }
  std::string path = request.path;
  const bool csv = path.size() > 4 && path.compare(path.size() - 4, 4, ".csv") == 0;
  if (csv) path.resize(path.size() - 4);
  if (path == "/api/outcomes") return Outcomes(filter, csv);
  if (path == "/api/errors") return Errors(filter, limit, csv);
  if (path == "/api/runs") return Runs(filter, limit, csv);
  int64_t id = 0;
  if (path.rfind("/api/runs/", 0) == 0 && ParseCount(path.substr(10), id)) return Run(id, csv);
  return HttpResponse::Text(404, "Not found");
}

HttpResponse Dashboard::Outcomes(const LogFilter& filter, bool csv) {
  const auto counts = store_.Outcomes(filter);
  if (csv) {
    std::vector<std::vector<std::string>> rows;
    for (const auto& c : counts)
      rows.push_back({c.release, c.day, c.outcome, std::to_string(c.runs)});
    return CsvAnswer({"release", "day", "outcome", "runs"}, rows, "outcomes.csv");
  }
  nlohmann::json list = nlohmann::json::array();
  for (const auto& c : counts) {
    list.push_back(
        {{"release", c.release}, {"day", c.day}, {"outcome", c.outcome}, {"runs", c.runs}});
  }
  // The releases and outcomes the filters offer, whatever is filtered now.
  std::set<std::string> releases;
  for (const auto& c : store_.Outcomes({})) releases.insert(c.release);
  nlohmann::json outcomes = nlohmann::json::array();
  for (const char* outcome : kOutcomes) outcomes.push_back(outcome);
  return JsonAnswer({{"outcomes", list}, {"releases", releases}, {"kinds", outcomes}});
}

HttpResponse Dashboard::Errors(const LogFilter& filter, int64_t limit, bool csv) {
  const auto errors = store_.TopErrors(filter, limit);
  if (csv) {
    std::vector<std::vector<std::string>> rows;
    for (const auto& e : errors) {
      rows.push_back({std::to_string(e.number), e.name, std::to_string(e.count),
                      std::to_string(e.runs), e.example});
    }
    return CsvAnswer({"number", "name", "count", "runs", "example"}, rows, "errors.csv");
  }
  nlohmann::json list = nlohmann::json::array();
  for (const auto& e : errors) {
    list.push_back({{"number", e.number},
                    {"name", e.name},
                    {"count", e.count},
                    {"runs", e.runs},
                    {"example", e.example}});
  }
  return JsonAnswer({{"errors", list}});
}

HttpResponse Dashboard::Runs(const LogFilter& filter, int64_t limit, bool csv) {
  const auto uploads = store_.Uploads(filter, limit);
  if (csv) {
    std::vector<std::vector<std::string>> rows;
    for (const auto& u : uploads) rows.push_back(SummaryFields(u));
    return CsvAnswer(
        {"id", "day", "received", "release", "version", "outcome", "records", "errors"}, rows,
        "runs.csv");
  }
  nlohmann::json list = nlohmann::json::array();
  for (const auto& u : uploads) list.push_back(SummaryJson(u));
  return JsonAnswer({{"runs", list}});
}

HttpResponse Dashboard::Run(int64_t id, bool csv) {
  std::vector<LogRecord> records;
  const auto upload = store_.Upload(id, records);
  if (!upload) return HttpResponse::Text(404, "No such run");
  if (csv) {
    std::vector<std::vector<std::string>> rows;
    for (const auto& r : records) {
      rows.push_back(
          {r.message, r.name, std::to_string(r.number), r.module, std::to_string(r.line)});
    }
    return CsvAnswer({"Message", "Detailed Message", "Error Number", "File", "Line"}, rows,
                     "run-" + std::to_string(id) + ".csv");
  }
  nlohmann::json list = nlohmann::json::array();
  for (const auto& r : records) {
    list.push_back({{"index", r.index},
                    {"message", r.message},
                    {"detailed_message", r.name},
                    {"error_number", r.number},
                    {"file", r.module},
                    {"line", r.line}});
  }
  return JsonAnswer({{"run", SummaryJson(*upload)}, {"records", list}});
}
