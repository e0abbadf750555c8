#include <libpq-fe.h>
#include <poll.h>

#include <chrono>
#include <thread>

#include "tools/logservice/sqlconnection.h"

namespace {

constexpr auto kReconnectWait = std::chrono::milliseconds(2000);
constexpr auto kReconnectStep = std::chrono::milliseconds(100);

// The upload and its records in one statement, so in one round trip and one
// implicit transaction; the records come as arrays, numbered by position.
constexpr char kAddLog[] =
    "WITH u AS (INSERT INTO uploads (received, day, release, version, outcome, record_count, "
    "error_count) VALUES ($1::bigint, $2, $3, $4, $5, $6::bigint, $7::bigint) RETURNING id), "
    "r AS (INSERT INTO records (upload_id, idx, number, name, module, line, message) "
    "SELECT u.id, t.idx - 1, t.number, t.name, t.module, t.line, t.message FROM u, "
    "unnest($8::int[], $9::text[], $10::text[], $11::bigint[], $12::text[]) WITH ORDINALITY "
    "AS t(number, name, module, line, message, idx)) "
    "SELECT id FROM u";

// An array in PostgreSQL's text form: every item quoted, " and \ escaped.
template <typename Item>
std::string ArrayLiteral(const std::vector<LogRecord>& records, Item item) {
  std::string out = "{";
  for (const LogRecord& r : records) {
    if (out.size() > 1) out += ',';
    out += '"';
    for (const char c : item(r)) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    out += '"';
  }
  return out + "}";
}

// Owns a query's result.
class Result {
 public:
  explicit Result(PGresult* result) : result_(result) {}
  ~Result() { PQclear(result_); }
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  PGresult* get() const { return result_; }

 private:
  PGresult* result_;
};

class PostgresConnection : public SqlConnection {
 public:
  explicit PostgresConnection(const std::string& conninfo) : db_(PQconnectdb(conninfo.c_str())) {
    if (PQstatus(db_) != CONNECTION_OK) {
      const std::string why = PQerrorMessage(db_);
      PQfinish(db_);
      throw SqlError("postgresql: cannot connect: " + why);
    }
    // Notices (an index that exists already) are not the service's news.
    PQsetNoticeProcessor(
        db_, [](void*, const char*) {}, nullptr);
  }
  ~PostgresConnection() override { PQfinish(db_); }
  PostgresConnection(const PostgresConnection&) = delete;
  PostgresConnection& operator=(const PostgresConnection&) = delete;

  void Execute(const std::string& sql) override {
    Result result(PQexec(db_, sql.c_str()));
    Check(result);
  }

  std::vector<SqlRow> Query(const std::string& sql, const std::vector<SqlValue>& params) override {
    // "?" becomes "$1", "$2", ...: the service's statements hold no "?"
    // of their own.
    std::string text;
    int n = 0;
    for (const char c : sql) {
      if (c == '?') {
        text += "$" + std::to_string(++n);
      } else {
        text += c;
      }
    }
    std::vector<std::string> values;
    values.reserve(params.size());
    for (const SqlValue& p : params) {
      values.push_back(std::holds_alternative<int64_t>(p) ? std::to_string(std::get<int64_t>(p))
                                                          : std::get<std::string>(p));
    }
    std::vector<const char*> pointers;
    for (const std::string& v : values) pointers.push_back(v.c_str());
    Result result(PQexecParams(db_, text.c_str(), static_cast<int>(pointers.size()), nullptr,
                               pointers.data(), nullptr, nullptr, 0));
    Check(result);
    std::vector<SqlRow> rows;
    const int count = PQntuples(result.get());
    const int columns = PQnfields(result.get());
    for (int r = 0; r < count; ++r) {
      SqlRow row;
      for (int c = 0; c < columns; ++c) row.emplace_back(PQgetvalue(result.get(), r, c));
      rows.push_back(std::move(row));
    }
    return rows;
  }

  void Revive() override {
    if (PQstatus(db_) == CONNECTION_OK && !HeardFromServer()) return;
    // The server went away (a restart): connect again, waiting a little
    // for it to come back, never long enough to hold a worker for good.
    const auto deadline = std::chrono::steady_clock::now() + kReconnectWait;
    for (;;) {
      PQreset(db_);
      add_log_prepared_ = false;
      if (PQstatus(db_) == CONNECTION_OK) return;
      if (std::chrono::steady_clock::now() + kReconnectStep > deadline) {
        throw SqlUnavailable(std::string("postgresql: the server is away: ") + PQerrorMessage(db_));
      }
      std::this_thread::sleep_for(kReconnectStep);
    }
  }

  void BeginWrite() override { Execute("BEGIN"); }
  bool OneWriter() const override { return false; }

  int64_t AddLog(const StoredLog& log, const std::string& day) override {
    if (!add_log_prepared_) {
      Result prepared(PQprepare(db_, "add_log", kAddLog, 0, nullptr));
      Check(prepared);
      add_log_prepared_ = true;
    }
    const std::string values[] = {
        std::to_string(log.received),
        day,
        log.release,
        log.version,
        log.outcome,
        std::to_string(log.records.size()),
        std::to_string(log.errors),
        ArrayLiteral(log.records, [](const LogRecord& r) { return std::to_string(r.number); }),
        ArrayLiteral(log.records, [](const LogRecord& r) { return r.name; }),
        ArrayLiteral(log.records, [](const LogRecord& r) { return r.module; }),
        ArrayLiteral(log.records, [](const LogRecord& r) { return std::to_string(r.line); }),
        ArrayLiteral(log.records, [](const LogRecord& r) { return r.message; })};
    const char* pointers[std::size(values)];
    for (size_t i = 0; i < std::size(values); ++i) pointers[i] = values[i].c_str();
    Result result(PQexecPrepared(db_, "add_log", static_cast<int>(std::size(values)), pointers,
                                 nullptr, nullptr, 0));
    Check(result);
    return std::stoll(PQgetvalue(result.get(), 0, 0));
  }

  std::string Schema() const override {
    return "CREATE TABLE IF NOT EXISTS uploads (id BIGSERIAL PRIMARY KEY, received BIGINT NOT "
           "NULL, day TEXT NOT NULL, release TEXT NOT NULL, version TEXT NOT NULL, outcome TEXT "
           "NOT NULL, record_count BIGINT NOT NULL, error_count BIGINT NOT NULL);"
           "CREATE TABLE IF NOT EXISTS records (upload_id BIGINT NOT NULL, idx BIGINT NOT NULL, "
           "number INTEGER NOT NULL, name TEXT NOT NULL, module TEXT NOT NULL, line BIGINT NOT "
           "NULL, message TEXT NOT NULL, PRIMARY KEY (upload_id, idx));";
  }

 private:
  // An idle connection hears nothing from its server unless the server is
  // ending it: a shutdown's farewell, or the end of the stream.
  bool HeardFromServer() const {
    pollfd poll_fd{PQsocket(db_), POLLIN, 0};
    return ::poll(&poll_fd, 1, 0) != 0;
  }

  void Check(const Result& result) {
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      throw SqlError(std::string("postgresql: ") + PQerrorMessage(db_));
    }
  }

  PGconn* db_;
  bool add_log_prepared_ = false;
};

}  // namespace

std::unique_ptr<SqlConnection> OpenPostgresConnection(const std::string& conninfo) {
  // A server that does not answer at all (a host gone from the network)
  // must not hold a worker's reconnection for ever: 2 s per attempt unless
  // the maker said otherwise.
  if (conninfo.find("connect_timeout") != std::string::npos) {
    return std::make_unique<PostgresConnection>(conninfo);
  }
  const bool uri = conninfo.find("://") != std::string::npos;
  return std::make_unique<PostgresConnection>(
      conninfo + (uri ? (conninfo.find('?') == std::string::npos ? "?" : "&") : " ") +
      "connect_timeout=2");
}
