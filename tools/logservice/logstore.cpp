#include "tools/logservice/logstore.h"

#include <ctime>

namespace {

constexpr char kIndexes[] =
    "CREATE INDEX IF NOT EXISTS uploads_day ON uploads (day, release, outcome);"
    "CREATE INDEX IF NOT EXISTS uploads_release ON uploads (release, day);"
    "CREATE INDEX IF NOT EXISTS uploads_received ON uploads (received);"
    "CREATE INDEX IF NOT EXISTS records_number ON records (number, name);";

// " AND ..." for the filter's fields, over the uploads table as `u`.
std::string Where(const LogFilter& filter, std::vector<SqlValue>& params) {
  const std::pair<const std::string&, const char*> conditions[] = {
      {filter.release, " AND u.release = ?"},
      {filter.from_day, " AND u.day >= ?"},
      {filter.to_day, " AND u.day <= ?"},
      {filter.outcome, " AND u.outcome = ?"}};
  std::string where;
  for (const auto& [value, condition] : conditions) {
    if (value.empty()) continue;
    where += condition;
    params.emplace_back(value);
  }
  return where;
}

int64_t Number(const std::string& text) { return text.empty() ? 0 : std::stoll(text); }

UploadSummary SummaryOf(const SqlRow& row) {
  UploadSummary summary;
  summary.id = Number(row[0]);
  summary.received = Number(row[1]);
  summary.release = row[2];
  summary.version = row[3];
  summary.outcome = row[4];
  summary.records = Number(row[5]);
  summary.errors = Number(row[6]);
  return summary;
}

constexpr char kSummaryColumns[] =
    "SELECT u.id, u.received, u.release, u.version, u.outcome, u.record_count, u.error_count "
    "FROM uploads u";

}  // namespace

std::string DayOf(int64_t unix_seconds) {
  const std::time_t time = static_cast<std::time_t>(unix_seconds);
  std::tm parts{};
  gmtime_r(&time, &parts);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &parts);
  return text;
}

LogStore::Lease::Lease(LogStore& store) : store_(store) {
  std::unique_lock<std::mutex> hold(store_.lock_);
  store_.returned_.wait(hold, [this] { return !store_.idle_.empty(); });
  connection_ = std::move(store_.idle_.back());
  store_.idle_.pop_back();
  hold.unlock();
  try {
    connection_->Revive();
  } catch (...) {
    GiveBack();
    throw;
  }
}

LogStore::Lease::~Lease() { GiveBack(); }

void LogStore::Lease::GiveBack() {
  {
    std::lock_guard<std::mutex> hold(store_.lock_);
    store_.idle_.push_back(std::move(connection_));
  }
  store_.returned_.notify_one();
}

LogStore::LogStore(const std::string& database, size_t connections) {
  for (size_t i = 0; i < std::max<size_t>(connections, 1); ++i) {
    idle_.push_back(OpenSqlConnection(database));
  }
  Lease connection(*this);
  connection->Execute(connection->Schema());
  connection->Execute(kIndexes);
}

std::unique_lock<std::mutex> LogStore::WriterTurn(SqlConnection& connection) {
  return connection.OneWriter() ? std::unique_lock<std::mutex>(writer_lock_)
                                : std::unique_lock<std::mutex>();
}

int64_t LogStore::Add(const StoredLog& log) {
  Lease connection(*this);
  const auto turn = WriterTurn(*connection);
  return connection->AddLog(log, DayOf(log.received));
}

std::vector<OutcomeCount> LogStore::Outcomes(const LogFilter& filter) {
  std::vector<SqlValue> params;
  const std::string sql =
      "SELECT u.release, u.day, u.outcome, COUNT(*) FROM uploads u WHERE 1 = 1" +
      Where(filter, params) +
      " GROUP BY u.release, u.day, u.outcome ORDER BY u.day, u.release, u.outcome";
  Lease connection(*this);
  std::vector<OutcomeCount> counts;
  for (const SqlRow& row : connection->Query(sql, params)) {
    counts.push_back({row[0], row[1], row[2], Number(row[3])});
  }
  return counts;
}

std::vector<ErrorCount> LogStore::TopErrors(const LogFilter& filter, int64_t limit) {
  std::vector<SqlValue> params;
  std::string sql =
      "SELECT r.number, r.name, COUNT(*), COUNT(DISTINCT r.upload_id), MIN(r.message) "
      "FROM records r JOIN uploads u ON u.id = r.upload_id WHERE r.number <> 0" +
      Where(filter, params) + " GROUP BY r.number, r.name ORDER BY COUNT(*) DESC, r.number LIMIT ?";
  params.emplace_back(limit);
  Lease connection(*this);
  std::vector<ErrorCount> errors;
  for (const SqlRow& row : connection->Query(sql, params)) {
    errors.push_back(
        {static_cast<int32_t>(Number(row[0])), row[1], row[4], Number(row[2]), Number(row[3])});
  }
  return errors;
}

std::vector<UploadSummary> LogStore::Uploads(const LogFilter& filter, int64_t limit) {
  std::vector<SqlValue> params;
  std::string sql = std::string(kSummaryColumns) + " WHERE 1 = 1" + Where(filter, params) +
                    " ORDER BY u.id DESC LIMIT ?";
  params.emplace_back(limit);
  Lease connection(*this);
  std::vector<UploadSummary> uploads;
  for (const SqlRow& row : connection->Query(sql, params)) uploads.push_back(SummaryOf(row));
  return uploads;
}

std::optional<UploadSummary> LogStore::Upload(int64_t id, std::vector<LogRecord>& records) {
  Lease connection(*this);
  const auto rows = connection->Query(std::string(kSummaryColumns) + " WHERE u.id = ?", {id});
  if (rows.empty()) return std::nullopt;
  records.clear();
  for (const SqlRow& row : connection->Query(
           "SELECT idx, number, name, module, line, message FROM records WHERE upload_id = ? "
           "ORDER BY idx",
           {id})) {
    records.push_back({Number(row[0]), static_cast<int32_t>(Number(row[1])), row[2], row[3],
                       Number(row[4]), row[5]});
  }
  return SummaryOf(rows[0]);
}

int64_t LogStore::DeleteBefore(int64_t cutoff) {
  Lease connection(*this);
  const auto turn = WriterTurn(*connection);
  WriteTransaction transaction(*connection);
  connection->Query(
      "DELETE FROM records WHERE upload_id IN (SELECT id FROM uploads WHERE received < ?)",
      {cutoff});
  const auto rows =
      connection->Query("DELETE FROM uploads WHERE received < ? RETURNING id", {cutoff});
  transaction.Commit();
  return static_cast<int64_t>(rows.size());
}
