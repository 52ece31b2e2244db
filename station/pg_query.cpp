#include "station/pg_query.h"

namespace ternis::pg {

PGconn* Connect(const std::string& uri, std::string& error) {
  PGconn* conn = PQconnectdb(uri.c_str());
  if (PQstatus(conn) != CONNECTION_OK) {
    error = "cannot connect to the database: " + Trimmed(PQerrorMessage(conn));
    PQfinish(conn);
    return nullptr;
  }
  return conn;
}

Result Exec(PGconn* conn, const char* sql, const std::vector<const char*>& values,
            int result_format) {
  return Result(PQexecParams(conn, sql, static_cast<int>(values.size()), nullptr, values.data(),
                             nullptr, nullptr, result_format),
                &PQclear);
}

bool Ok(const Result& r) {
  if (!r) return false;
  const ExecStatusType status = PQresultStatus(r.get());
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

std::string ErrorOf(PGconn* conn, const Result& r) {
  if (r && PQresultErrorMessage(r.get())[0]) return Trimmed(PQresultErrorMessage(r.get()));
  return Trimmed(PQerrorMessage(conn));
}

std::string Trimmed(const char* text) {
  std::string s = text ? text : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

}  // namespace ternis::pg
