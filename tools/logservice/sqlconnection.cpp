#include "tools/logservice/sqlconnection.h"

std::unique_ptr<SqlConnection> OpenSqliteConnection(const std::string& path);
std::unique_ptr<SqlConnection> OpenPostgresConnection(const std::string& conninfo);

std::unique_ptr<SqlConnection> OpenSqlConnection(const std::string& database) {
  const auto colon = database.find(':');
  const std::string kind = database.substr(0, colon);
  const std::string rest = colon == std::string::npos ? std::string() : database.substr(colon + 1);
  if (kind == "sqlite" && !rest.empty()) return OpenSqliteConnection(rest);
  if (kind == "postgresql") return OpenPostgresConnection(rest);
  throw SqlError("the database must be sqlite:PATH or postgresql:CONNINFO");
}
