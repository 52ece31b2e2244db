// The station window end to end: the real window on the offscreen platform,
// a real settings file, and stb-sim boxes on pseudo-terminals; last, the
// real program (`ternis-download --station`) as a separate process.

#include "station_window/station_window.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "app/file_kind.h"
#include "controls/percent_progress_ctrl.h"
#include "controls/skin_button.h"
#include "station/database_admin.h"
#include "station_window/slot_row.h"
#include "tests/support/json_lines.h"
#include "tests/support/pg_cluster.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/window_env.h"

namespace ternis {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Process;
using test::PumpUntil;
using test::ReadText;
using test::SettingsFile;
using test::WaitForText;

class StationWindowTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(SettingsFile().parent_path());
    std::vector<std::uint8_t> bytes(40'000);
    std::uint32_t x = 7;
    for (auto& b : bytes) b = static_cast<std::uint8_t>((x = x * 1103515245 + 12345) >> 16);
    image = dir.Write("image.bin", bytes);
    settings.kind = FIRMWARE_FILE;
    settings.firmware = QString::fromStdString(image);
    settings.record_path = QString::fromStdString(Path("records.jsonl"));
    settings.unit_timeout = 500ms;
  }
  void TearDown() override {
    if (window) window->End();
    window.reset();
    for (auto& box : boxes) box->Signal(SIGTERM);
  }

  std::string Path(const std::string& name) const { return (dir.path() / name).string(); }

  // A box on a new pseudo-terminal published as `link`; unless told its
  // size, it reads the image and checks every byte.
  void StartBox(const std::string& link, std::vector<std::string> args) {
    if (std::find(args.begin(), args.end(), "--size") == args.end())
      args.insert(args.begin(), {"--reference", image});
    boxes.push_back(test::StartSimBox(STB_SIM_PATH, Path(link), args));
  }

  void OpenWindow() {
    window = std::make_unique<StationWindow>(settings);
    window->Start();
    window->show();
  }

  SlotRow& Row(int i) const { return *window->row(i); }

  std::vector<nlohmann::json> Records() const { return test::JsonLines(Path("records.jsonl")); }

  test::TempDir dir;
  std::string image;
  StationWindowSettings settings;
  std::vector<std::unique_ptr<Process>> boxes;
  std::unique_ptr<StationWindow> window;
};

// Four boxes at once; the fourth falls silent after three requests and is
// failed by the unit time-out while the others pass. A fifth slot, named
// before its adapter is plugged in, waits and says why; once the box
// appears it serves unit after unit on the same slot.
TEST_F(StationWindowTest, SlotsServedAtOnceOneFailsWithItsReasonOneWaitsForItsDevice) {
  for (int i = 1; i <= 3; ++i)
    StartBox("box" + std::to_string(i), {"--chunk", "512", "--hold", "10"});
  StartBox("box4", {"--chunk", "512", "--stop-after", "3", "--hold", "10"});
  for (int i = 1; i <= 4; ++i)
    settings.slot_specs.push_back({"s" + std::to_string(i), Path("box" + std::to_string(i))});
  settings.slot_specs.push_back({"late", Path("late")});
  OpenWindow();
  // The four open ports' receive threads stand back for the window's thread.
  const int own = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
  const int nicer = std::min(own + StationWindow::kReceiveNice, 19);
  if (nicer != own) {
    EXPECT_TRUE(PumpUntil([&] { return test::ThreadsOfNice(nicer) == 4; }));
  }
  // While a unit runs the kinds are locked, and the chosen one still shows.
  ASSERT_TRUE(PumpUntil([&] { return !window->kindButton(3)->isEnabled(); }));
  const auto face = [&](int i) { return window->kindButton(i)->grab().toImage().pixel(4, 12); };
  EXPECT_NE(face(3), face(2)) << "firmware is chosen";
  EXPECT_EQ(face(2), face(1));

  ASSERT_TRUE(PumpUntil([&] {
    return Row(0).passed() + Row(1).passed() + Row(2).passed() == 3 && Row(3).failed() == 1;
  })) << window->totalsLabel()->text().toStdString();
  ASSERT_TRUE(PumpUntil([&] { return Row(3).stateLabel()->text() == "FAIL"; }));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Row(i).stateLabel()->text(), "PASS");
    EXPECT_EQ(Row(i).progress()->GetPos(), 100);
  }
  EXPECT_TRUE(Row(3).resultLabel()->text().endsWith("box stopped asking (0.5 s)"))
      << Row(3).resultLabel()->text().toStdString();
  EXPECT_LT(Row(3).progress()->GetPos(), 100);
  EXPECT_TRUE(
      window->totalsLabel()->text().startsWith("3 passed \u00b7 1 failed \u00b7 0 in progress"))
      << window->totalsLabel()->text().toStdString();
  for (int i = 1; i <= 3; ++i)
    EXPECT_TRUE(WaitForText(Path("box" + std::to_string(i) + ".out"), "every byte checked"));
  EXPECT_EQ(Row(4).stateLabel()->text(), "waiting for device");
  EXPECT_TRUE(Row(4).toolTip().contains("does not exist")) << Row(4).toolTip().toStdString();

  StartBox("late", {"--units", "2", "--unit-gap", "0.1", "--hold", "10"});
  ASSERT_TRUE(PumpUntil([&] { return Row(4).passed() == 2; }))
      << Row(4).resultLabel()->text().toStdString();
  EXPECT_TRUE(Row(4).toolTip().indexOf("does not exist") < 0) << "the diagnosis goes once it works";
  EXPECT_TRUE(Row(4).resultLabel()->text().startsWith("unit 2 PASS"));
  EXPECT_EQ(Row(4).failedLabel()->text(), "0");
  EXPECT_EQ(Row(4).passedLabel()->text(), "2");
  // Each row's last result is its slot's last record: unit, outcome, reason.
  std::map<std::string, nlohmann::json> last;
  const auto records = Records();
  for (const auto& record : records) last[record["slot"]] = record;
  ASSERT_EQ(records.size(), 6u);
  for (int i = 0; i < window->rowCount(); ++i) {
    const nlohmann::json& record = last[window->specOf(i).name];
    const std::string outcome = record["result"] == "pass" ? " PASS" : " FAIL";
    const QString shown = Row(i).resultLabel()->text();
    EXPECT_TRUE(shown.startsWith(QString::fromStdString("unit " + record["unit"].dump() + outcome)))
        << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(QString::fromStdString(record["reason"].get<std::string>())))
        << shown.toStdString();
  }
  EXPECT_TRUE(window->identityLabel()->text().contains(
      QString::fromStdString(last["late"]["sha256"].get<std::string>().substr(0, 8))));
  const auto& log = window->logBook().lines();
  EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const LogLine& line) {
    return line.slot == "late" && line.text.contains("waiting for it");
  }));
}

// What every slot is served: a key pool chosen in the window (each unit a
// key of its own, the counts shown as units end), the file again, then a
// dropped file: one file changes it, several files or a folder are refused
// with a line in the log; a missing or an empty file serves nothing.
TEST_F(StationWindowTest, KeyPoolOrOneFileForEverySlot) {
  const fs::path pool = dir.path() / "pool";
  fs::create_directories(pool / "ready");
  for (int i = 0; i < 3; ++i)
    dir.Write("pool/ready/key-" + std::to_string(i), std::vector<std::uint8_t>(2048, 0x10 + i));
  settings.slot_specs = {{"a", Path("a")}};
  OpenWindow();  // the box is not there yet: nothing is served before the pool is chosen
  window->setKeyPoolChooser([&](QWidget*, const QString&) { return QString::fromStdString(pool); });
  window->keyPoolButton()->click();
  EXPECT_EQ(window->pathBox()->text().toStdString(), pool.string());
  EXPECT_EQ(window->identityLabel()->text(), "Keys: 3 left \u00b7 0 used \u00b7 0 spoiled");
  StartBox("a", {"--size", "2048", "--units", "2", "--unit-gap", "0.1", "--hold", "10"});
  ASSERT_TRUE(PumpUntil([&] { return Row(0).passed() == 2; }))
      << Row(0).resultLabel()->text().toStdString();
  EXPECT_EQ(window->identityLabel()->text(), "Keys: 1 left \u00b7 2 used \u00b7 0 spoiled");
  ASSERT_TRUE(window->SelectFile(FIRMWARE_FILE, QString::fromStdString(image)));
  EXPECT_TRUE(window->identityLabel()->text().startsWith("40000 bytes"));
  EXPECT_TRUE(settings.key_pool.isEmpty());

  const std::string other = dir.Write("other.bin", std::vector<std::uint8_t>(1000, 0x42));
  ASSERT_TRUE(test::Drop(window.get(), {other, image}));
  ASSERT_TRUE(test::Drop(window.get(), {dir.path().string()}));
  EXPECT_EQ(window->pathBox()->text().toStdString(), image);
  ASSERT_TRUE(test::Drop(window.get(), {other}));
  EXPECT_EQ(window->pathBox()->text().toStdString(), other);
  EXPECT_TRUE(window->identityLabel()->text().startsWith("1000 bytes \u00b7 SHA-256 "));
  const auto& log = window->logBook().lines();
  EXPECT_EQ(
      std::count_if(log.begin(), log.end(),
                    [](const LogLine& line) { return line.text.contains("nothing changed"); }),
      2);
  EXPECT_FALSE(window->SelectFile(FIRMWARE_FILE, QString::fromStdString(Path("missing.bin"))));
  EXPECT_EQ(window->identityLabel()->text(), "no file served") << "the old file is not served on";
  EXPECT_TRUE(window->warningLabel()->text().contains("missing.bin"));
  const std::string empty = dir.Write("empty.bin", {});
  EXPECT_FALSE(window->SelectFile(FIRMWARE_FILE, QString::fromStdString(empty)));
  EXPECT_TRUE(window->warningLabel()->text().contains("empty.bin is empty: nothing to serve"));
}

// Records to a PostgreSQL database under the station's name, beside a
// folder pool whose key still goes to used/; then the "Key pool…" choice
// takes the database's URI and shows its keys.
TEST_F(StationWindowTest, RecordsAndKeysFromADatabaseUnderTheStationsName) {
  test::PgCluster db;
  ASSERT_TRUE(db.ok()) << db.why();
  std::string said, error;
  ASSERT_TRUE(DatabaseAdmin::CreateSchema(db.Uri(), said, error)) << error;
  db.Query("INSERT INTO ternis_keys (name, sha256, bytes) VALUES ('db-key', 'x', '\\x00')");
  fs::create_directories(dir.path() / "pool" / "ready");
  dir.Write("pool/ready/folder-key", std::vector<std::uint8_t>(2048, 0x21));
  settings.key_pool = QString::fromStdString((dir.path() / "pool").string());
  settings.record_path = QString::fromStdString(db.Uri());
  settings.station_name = "bench-7";
  settings.slot_specs = {{"a", Path("a")}};
  StartBox("a", {"--size", "2048", "--units", "1", "--hold", "10"});
  OpenWindow();
  ASSERT_TRUE(PumpUntil([&] { return Row(0).passed() == 1; }))
      << Row(0).resultLabel()->text().toStdString();
  EXPECT_EQ(db.Query("SELECT station || ' ' || (record->>'result') || ' ' || "
                     "(record->'key'->>'name') FROM ternis_records"),
            "bench-7 pass folder-key");
  EXPECT_TRUE(fs::exists(dir.path() / "pool" / "used" / "folder-key"));

  window->setKeyPoolChooser([&](QWidget*, const QString&) { return settings.record_path; });
  ASSERT_TRUE(PumpUntil([&] { return window->keyPoolButton()->isEnabled(); }));
  window->keyPoolButton()->click();
  EXPECT_EQ(window->identityLabel()->text(), "Keys: 1 left \u00b7 0 used \u00b7 0 spoiled");
}

// The program ends with status 2 on bad slots. Run with a slot, it keeps
// it in the settings file; a termination signal mid-unit records the unit
// as aborted and ends it with 0. The window then starts with the kept
// slots and file; what changes a slot waits until it is idle; the slots
// added, renamed and removed, the file and the records are kept for the next start.
TEST_F(StationWindowTest, StationComesBackFromTheSettingsFileAfterTheProgramOrTheWindow) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{"a=/dev/x", "a=/dev/y"}, "slot \"a\" given twice"},
      {{"bad name=/dev/x"}, "a slot name takes letters"},
      {{"--bogus"}, "unknown option --bogus"},
  };
  for (const auto& [args, said] : bad) {
    std::vector<std::string> argv = {TERNIS_DOWNLOAD_PATH, "--station"};
    argv.insert(argv.end(), args.begin(), args.end());
    Process program(argv, Path("bad.out"), Path("bad.err"));
    EXPECT_EQ(program.Wait(), 2) << said;
    EXPECT_NE(ReadText(Path("bad.err")).find(said), std::string::npos) << ReadText(Path("bad.err"));
  }

  settings.unit_timeout = 0ms;  // a silent box keeps its unit open
  settings.Save();  // the file and the record file; the slot comes from the command line
  StartBox("box", {"--stop-after", "2", "--hold", "10"});
  Process program({TERNIS_DOWNLOAD_PATH, "--station", "line-1=" + Path("box")}, Path("program.out"),
                  Path("program.err"));
  const fs::path log = fs::path(qgetenv("XDG_STATE_HOME").toStdString()) / "ternis" / "station.log";
  ASSERT_TRUE(WaitForText(log.string(), "[line-1] unit 1 started")) << ReadText(log.string());
  // Signalled while the box still asks, a box held up by load could ask
  // next once the window below has its device, and a third unit would start.
  ASSERT_TRUE(WaitForText(Path("box.err"), "stopped asking")) << ReadText(Path("box.err"));
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(), 0) << ReadText(Path("program.err"));
  settings = StationWindowSettings();
  settings.Load();
  StartBox("a", {"--stop-after", "2", "--hold", "10"});
  OpenWindow();
  EXPECT_EQ(Row(0).nameBox()->text(), "line-1");
  EXPECT_EQ(window->pathBox()->text().toStdString(), image);
  QString error;
  ASSERT_TRUE(window->AddSlot({"first", Path("a")}, error)) << error.toStdString();
  ASSERT_TRUE(PumpUntil([&] { return window->AnyUnitInProgress(); }));
  EXPECT_FALSE(window->SelectFile(C_KEY_FILE));
  EXPECT_TRUE(PumpUntil([&] { return Row(1).nameBox()->isReadOnly(); }));
  ASSERT_TRUE(window->AddSlot({Path("b"), Path("b")}, error));  // unnamed: named by its device
  ASSERT_TRUE(window->RenameSlot(2, "second"));
  ASSERT_TRUE(window->AddSlot({"third", Path("c")}, error));
  ASSERT_TRUE(window->RemoveSlot(3));
  window->End();
  const std::vector<nlohmann::json> records = Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["slot"], "line-1");
  EXPECT_EQ(records[0]["result"], "aborted");
  EXPECT_EQ(records[1]["slot"], "first");
  EXPECT_EQ(records[1]["result"], "aborted");
  EXPECT_EQ(records[1]["reason"], "interrupted");

  window.reset();
  settings = StationWindowSettings();
  settings.Load();
  const std::vector<SlotSpec> kept = {
      {"line-1", Path("box")}, {"first", Path("a")}, {"second", Path("b")}};
  EXPECT_EQ(settings.slot_specs, kept);
  EXPECT_EQ(settings.firmware.toStdString(), image);
  EXPECT_EQ(settings.record_path.toStdString(), Path("records.jsonl"));
  EXPECT_EQ(settings.kind, FIRMWARE_FILE);
  EXPECT_EQ(settings.unit_timeout, 0ms);
}

}  // namespace
}  // namespace ternis
