#include <sqlite3.h>

#include "tools/logservice/sqlconnection.h"

namespace {

// Rows per INSERT: well under SQLite's limit of parameters.
constexpr size_t kRecordsPerInsert = 500;

// Owns a prepared statement.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &statement_, nullptr) !=
        SQLITE_OK) {
      throw SqlError(std::string("sqlite: ") + sqlite3_errmsg(db));
    }
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return statement_; }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

class SqliteConnection : public SqlConnection {
 public:
  explicit SqliteConnection(const std::string& path) {
    const int status =
        sqlite3_open_v2(path.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (status != SQLITE_OK) {
      const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      throw SqlError("sqlite: cannot open " + path + ": " + why);
    }
    // Another connection of the pool may hold the write lock for a moment.
    sqlite3_busy_timeout(db_, 10000);
    // WAL: readers of the dashboard never wait for the uploads' writes, and
    // a commit survives the service's crash (NORMAL syncs at checkpoints).
    Execute("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
  }
  ~SqliteConnection() override { sqlite3_close(db_); }
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;

  void Execute(const std::string& sql) override {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
      const std::string why = message ? message : sqlite3_errmsg(db_);
      sqlite3_free(message);
      throw SqlError("sqlite: " + why);
    }
  }

  std::vector<SqlRow> Query(const std::string& sql, const std::vector<SqlValue>& params) override {
    Statement statement(db_, sql);
    for (size_t i = 0; i < params.size(); ++i) {
      const int at = static_cast<int>(i + 1);
      if (const auto* number = std::get_if<int64_t>(&params[i])) {
        sqlite3_bind_int64(statement.get(), at, *number);
      } else {
        const std::string& text = std::get<std::string>(params[i]);
        sqlite3_bind_text(statement.get(), at, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
      }
    }
    std::vector<SqlRow> rows;
    for (;;) {
      const int status = sqlite3_step(statement.get());
      if (status == SQLITE_DONE) return rows;
      if (status != SQLITE_ROW) throw SqlError(std::string("sqlite: ") + sqlite3_errmsg(db_));
      SqlRow row;
      const int columns = sqlite3_column_count(statement.get());
      for (int c = 0; c < columns; ++c) {
        const auto* text = sqlite3_column_text(statement.get(), c);
        row.emplace_back(text ? reinterpret_cast<const char*>(text) : "",
                         static_cast<size_t>(sqlite3_column_bytes(statement.get(), c)));
      }
      rows.push_back(std::move(row));
    }
  }

  // IMMEDIATE takes the write lock at once: two deferred transactions that
  // both upgrade would fail one of them instead of waiting.
  void BeginWrite() override { Execute("BEGIN IMMEDIATE"); }
  bool OneWriter() const override { return true; }

  int64_t AddLog(const StoredLog& log, const std::string& day) override {
    WriteTransaction transaction(*this);
    const auto rows = Query(
        "INSERT INTO uploads (received, day, release, version, outcome, record_count, "
        "error_count) VALUES (?, ?, ?, ?, ?, ?, ?) RETURNING id",
        {log.received, day, log.release, log.version, log.outcome,
         static_cast<int64_t>(log.records.size()), log.errors});
    const int64_t id = std::stoll(rows.at(0).at(0));
    for (size_t first = 0; first < log.records.size(); first += kRecordsPerInsert) {
      const size_t end = std::min(log.records.size(), first + kRecordsPerInsert);
      std::string sql =
          "INSERT INTO records (upload_id, idx, number, name, module, line, message) VALUES ";
      std::vector<SqlValue> params;
      params.reserve((end - first) * 7);
      for (size_t i = first; i < end; ++i) {
        const LogRecord& r = log.records[i];
        sql += i == first ? "(?, ?, ?, ?, ?, ?, ?)" : ", (?, ?, ?, ?, ?, ?, ?)";
        params.insert(params.end(), {id, static_cast<int64_t>(i), static_cast<int64_t>(r.number),
                                     r.name, r.module, r.line, r.message});
      }
      Query(sql, params);
    }
    transaction.Commit();
    return id;
  }

  std::string Schema() const override {
    return "CREATE TABLE IF NOT EXISTS uploads (id INTEGER PRIMARY KEY, received INTEGER NOT NULL, "
           "day TEXT NOT NULL, release TEXT NOT NULL, version TEXT NOT NULL, outcome TEXT NOT "
           "NULL, record_count INTEGER NOT NULL, error_count INTEGER NOT NULL);"
           "CREATE TABLE IF NOT EXISTS records (upload_id INTEGER NOT NULL, idx INTEGER NOT NULL, "
           "number INTEGER NOT NULL, name TEXT NOT NULL, module TEXT NOT NULL, line INTEGER NOT "
           "NULL, message TEXT NOT NULL, PRIMARY KEY (upload_id, idx)) WITHOUT ROWID;";
  }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace

std::unique_ptr<SqlConnection> OpenSqliteConnection(const std::string& path) {
  return std::make_unique<SqliteConnection>(path);
}
