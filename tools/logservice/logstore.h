#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/logservice/logrecord.h"
#include "tools/logservice/sqlconnection.h"

// What the dashboard's views are narrowed to; empty fields narrow nothing.
struct LogFilter {
  std::string release;
  std::string from_day;  // YYYY-MM-DD, inclusive
  std::string to_day;    // YYYY-MM-DD, inclusive
  std::string outcome;
};

struct UploadSummary {
  int64_t id = 0;
  int64_t received = 0;
  std::string release, version, outcome;
  int64_t records = 0, errors = 0;
};

struct OutcomeCount {
  std::string release, day, outcome;
  int64_t runs = 0;
};

struct ErrorCount {
  int32_t number = 0;
  std::string name, example;
  int64_t count = 0, runs = 0;
};

// The uploads and their records in one database (SQLite or PostgreSQL),
// through a few connections that threads take in turn.
class LogStore {
 public:
  LogStore(const std::string& database, size_t connections);

  // The upload's id once it is committed.
  int64_t Add(const StoredLog& log);
  std::vector<OutcomeCount> Outcomes(const LogFilter& filter);
  std::vector<ErrorCount> TopErrors(const LogFilter& filter, int64_t limit);
  std::vector<UploadSummary> Uploads(const LogFilter& filter, int64_t limit);
  std::optional<UploadSummary> Upload(int64_t id, std::vector<LogRecord>& records);
  // Removes the uploads received before `cutoff` (Unix seconds); how many.
  int64_t DeleteBefore(int64_t cutoff);

 private:
  // A connection taken from the pool for one operation.
  class Lease {
   public:
    explicit Lease(LogStore& store);
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    SqlConnection* operator->() const { return connection_.get(); }
    SqlConnection& operator*() const { return *connection_; }

   private:
    void GiveBack();

    LogStore& store_;
    std::unique_ptr<SqlConnection> connection_;
  };

  // Held while writing when the database takes one writer at a time.
  std::unique_lock<std::mutex> WriterTurn(SqlConnection& connection);

  std::mutex lock_;
  std::mutex writer_lock_;
  std::condition_variable returned_;
  std::vector<std::unique_ptr<SqlConnection>> idle_;
};

// "2026-12-07" of a Unix time, UTC.
std::string DayOf(int64_t unix_seconds);
