#include "tests/support/pg_cluster.h"

#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

namespace ternis::test {

namespace {

constexpr const char* kBin = "/usr/lib/postgresql/15/bin/";

}  // namespace

PgCluster::PgCluster(bool durable)
    : data_((dir_.path() / "data").string()),
      socket_((dir_.path() / "socket").string()),
      durable_(durable) {
  std::filesystem::create_directories(socket_);
  if (::geteuid() == 0) {
    const passwd* nobody = ::getpwnam("nobody");
    if (!nobody) {
      why_ = "no user nobody to run the server as";
      return;
    }
    ::chmod(dir_.path().c_str(), 0711);
    for (const std::string& path : {dir_.path().string(), socket_})
      if (::chown(path.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) why_ = "chown failed";
  }
  Process initdb(AsOwner({std::string(kBin) + "initdb", "-D", data_, "-A", "trust", "-U",
                          "ternis", "--no-sync", "-E", "UTF8", "--locale", "C"}),
                 (dir_.path() / "initdb.out").string(), (dir_.path() / "initdb.err").string());
  if (initdb.Wait() != 0) {
    why_ = "initdb failed: " + ReadText((dir_.path() / "initdb.err").string());
    return;
  }
  ok_ = Start();
}

PgCluster::~PgCluster() {
  Stop();
}

std::vector<std::string> PgCluster::AsOwner(std::vector<std::string> argv) const {
  // setpriv execs the program itself, so signals reach the server.
  if (::geteuid() == 0)
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                               "--clear-groups", "--"});
  return argv;
}

std::string PgCluster::Uri() const {
  return "postgresql:///postgres?host=" + socket_ + "&user=ternis";
}

std::string PgCluster::Keywords() const {
  return "host=" + socket_ + " user=ternis dbname=postgres";
}

bool PgCluster::Start() {
  server_ = std::make_unique<Process>(
      AsOwner({std::string(kBin) + "postgres", "-D", data_, "-k", socket_, "-c",
               "listen_addresses=", "-c", durable_ ? "fsync=on" : "fsync=off", "-c",
               "max_connections=60"}),
      (dir_.path() / "server.out").string(), (dir_.path() / "server.err").string());
  const std::string conninfo = "host=" + socket_ + " user=ternis dbname=postgres";
  for (int i = 0; i < 600; ++i) {
    if (PQping(conninfo.c_str()) == PQPING_OK) return true;
    if (server_->Poll()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  why_ = "the server did not start: " + ReadText((dir_.path() / "server.err").string());
  return false;
}

void PgCluster::Stop() {
  if (!server_) return;
  server_->Signal(SIGINT);
  server_->Wait(std::chrono::seconds(30));
  server_.reset();
}

std::string PgCluster::Query(const std::string& sql) const {
  const std::string out = (dir_.path() / "psql.out").string();
  Process psql({"/usr/bin/psql", "-X", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-d", Uri(), "-c", sql},
               out, (dir_.path() / "psql.err").string());
  if (psql.Wait() != 0) return "psql failed: " + ReadText((dir_.path() / "psql.err").string());
  std::string text = ReadText(out);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace ternis::test
