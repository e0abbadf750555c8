#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "tools/logservice/logrecord.h"

using SqlValue = std::variant<int64_t, std::string>;
using SqlRow = std::vector<std::string>;  // a NULL reads as ""

struct SqlError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The database cannot be reached now (a server restarting): worth trying
// again later, unlike a statement that failed.
struct SqlUnavailable : SqlError {
  using SqlError::SqlError;
};

// One connection to the database, used by one thread at a time. Statements
// take "?" placeholders whatever the database; failures throw SqlError.
class SqlConnection {
 public:
  virtual ~SqlConnection() = default;
  // Statements without parameters, several at once (the schema).
  virtual void Execute(const std::string& sql) = 0;
  virtual std::vector<SqlRow> Query(const std::string& sql,
                                    const std::vector<SqlValue>& params) = 0;
  // Begins a transaction that will write.
  virtual void BeginWrite() = 0;
  // The tables, in this database's words.
  virtual std::string Schema() const = 0;
  // Stores one upload with its records, all or nothing; the upload's id.
  // Each record's number is its position: a sender's log_index can repeat.
  virtual int64_t AddLog(const StoredLog& log, const std::string& day) = 0;
  // Before each use: makes sure the connection still reaches its server,
  // connecting again (within a bounded wait) if the server went away and
  // came back; throws SqlUnavailable when it does not come back in time.
  virtual void Revive() {}
  // One writer at a time: writers of the same process queue in the process
  // rather than in the database's busy wait, which sleeps in steps of up to
  // 100 ms.
  virtual bool OneWriter() const = 0;
};

// Rolls back unless committed: a failed write leaves nothing behind.
class WriteTransaction {
 public:
  explicit WriteTransaction(SqlConnection& connection) : connection_(connection) {
    connection_.BeginWrite();
  }
  ~WriteTransaction() {
    if (!open_) return;
    try {
      connection_.Execute("ROLLBACK");
    } catch (const SqlError&) {
      // The connection is gone; the database dropped the transaction.
    }
  }
  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;
  void Commit() {
    connection_.Execute("COMMIT");
    open_ = false;
  }

 private:
  SqlConnection& connection_;
  bool open_ = true;
};

// "sqlite:PATH" or "postgresql:CONNINFO" (libpq's key=value or URI form).
std::unique_ptr<SqlConnection> OpenSqlConnection(const std::string& database);
