#pragma once
// The few libpq calls the station's database code makes, with their
// errors as one line of text.

#include <libpq-fe.h>

#include <memory>
#include <string>
#include <vector>

namespace ternis::pg {

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

// A connection that answers, or null with `error`.
PGconn* Connect(const std::string& uri, std::string& error);
// One statement with text parameters (null: SQL NULL); `result_format` 1
// returns binary columns.
Result Exec(PGconn* conn, const char* sql, const std::vector<const char*>& values = {},
            int result_format = 0);
bool Ok(const Result& r);
// The statement's error, else the connection's.
std::string ErrorOf(PGconn* conn, const Result& r);
// libpq's message without its line end.
std::string Trimmed(const char* text);

}  // namespace ternis::pg
