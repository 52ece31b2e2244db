#pragma once
// A throw-away PostgreSQL server for a test: initdb in a temporary folder,
// listening on a Unix socket only, run as `nobody` when the tests run as
// root. A server that cannot start fails the test.

#include <memory>
#include <string>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace ternis::test {

class PgCluster {
 public:
  // initdb and Start(); check ok(). `durable`: fsync on, as in production
  // (tests do without: a crash of the test machine loses nothing they need).
  explicit PgCluster(bool durable = false);
  ~PgCluster();
  PgCluster(const PgCluster&) = delete;
  PgCluster& operator=(const PgCluster&) = delete;

  bool ok() const { return ok_; }
  const std::string& why() const { return why_; }
  // A URI for libpq and ternis-serve.
  std::string Uri() const;
  std::string Keywords() const;  // the same, in libpq's keyword form
  // Starts the server and waits until it accepts connections.
  bool Start();
  // Fast shutdown: sessions are cut, the server waits for nothing.
  void Stop();
  // One SQL statement through psql; its output, unaligned, tuples only.
  std::string Query(const std::string& sql) const;

 private:
  std::vector<std::string> AsOwner(std::vector<std::string> argv) const;

  TempDir dir_;
  std::string data_, socket_;
  std::unique_ptr<Process> server_;
  bool durable_;
  bool ok_ = false;
  std::string why_;
};

}  // namespace ternis::test
