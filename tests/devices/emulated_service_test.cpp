// The emulated recorder through the service interface, where whole burns do
// not reach: failing producers and verification, refusals, cancelling,
// notifications (also of changes made by another process), the reservation
// between two processes, and the mounted tree.

#include <QTest>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "devices/emulated/emulated_burner.h"
#include "devices/emulated/emulated_medium.h"
#include "devices/emulated/emulated_mount.h"
#include "devices/emulated/emulated_service.h"
#include "devices/mount_table.h"
#include "support/simulated_drive.h"
#include "support/test_producer.h"
#include "support/test_support.h"

namespace tessaline::emulated {
namespace {

using test::finish;
using test::readFile;
using test::runCli;
using test::TestProducer;
using test::waitUntil;
using test::writeFile;

void expectError(const auto& r, ErrorKind kind, const std::string& fragment = {}) {
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, kind) << r.error().message;
  EXPECT_NE(r.error().message.find(fragment), std::string::npos) << r.error().message;
}

class EmulatedServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(createWriter(dir(), "rec", {})); }
  fs::path dir() const { return tmp / "writers"; }
  // Inserts `spec` (if any) in "rec", then opens the service on it.
  void open(std::optional<MediumSpec> spec = MediumSpec{}) {
    if (spec) {
      ASSERT_TRUE(insertMedium(dir(), "rec", *spec));
    }
    service = std::make_unique<EmulatedService>(dir());
    w = service->devices().at(0);
  }
  void insert(MediumKind kind, std::int64_t capacity = 359847, bool closed = false, std::vector<fs::path> images = {}) {
    (void)eject(dir(), "rec");
    ASSERT_TRUE(insertMedium(dir(), "rec", MediumSpec{kind, BlockCount{capacity}, images, closed, std::nullopt}));
  }
  test::TempDir tmp;
  test::ScopedEnv writers{"TESSALINE_WRITERS_DIR", (tmp / "writers").string()};
  test::ScopedEnv runtime{"XDG_RUNTIME_DIR", (tmp / "run").string()};
  test::ScopedEnv cache{"XDG_CACHE_HOME", (tmp / "cache").string()};
  test::ScopedEnv speed{"TESSALINE_EMULATED_SPEED", "0"};
  std::unique_ptr<EmulatedService> service;
  std::shared_ptr<Writer> w;
};

// The writer's own refusals (a closed, damaged or vanished disc are refused
// on the same path by "writer append", in the CLI's tests).
TEST_F(EmulatedServiceTest, RefusalsAndFailedBurnsAreTypedAndLeaveTheDiscAsItWas) {
  open(std::nullopt);
  const auto tryBurn = [&](std::int64_t n) {
    auto producer = std::make_shared<TestProducer>(n);
    return w->burn(BurnSettings{}, producer->track(), producer);
  };
  struct Case {
    const char* what;
    std::function<void()> setUp;
    std::int64_t blocks;
    ErrorKind kind;
    const char* fragment;
  };
  for (const Case& c : std::vector<Case>{
           {"no disc", [] {}, 1, ErrorKind::NoMedium, ""},
           {"a pressed disc", [&] { insert(MediumKind::CDROM); }, 1, ErrorKind::MediumNotWritable, "cd-rom"},
           {"one block too many", [&] { insert(MediumKind::CDR, 1000); }, 999, ErrorKind::NoSpace, ""},
           {"the tray open", [&] { ASSERT_TRUE(setTray(dir(), "rec", true)); }, 1, ErrorKind::NoMedium, ""}}) {
    SCOPED_TRACE(c.what);
    c.setUp();
    expectError(tryBurn(c.blocks), c.kind, c.fragment);
  }
  insert(MediumKind::CDR, 1000);
  {  // Marked busy by another program: refused, and the writer is given back.
    const WriterPaths paths{dir(), "rec"};
    auto busy = FileLock::lock(paths.busyLock());
    ASSERT_TRUE(busy);
    expectError(tryBurn(1), ErrorKind::Busy, "in use by another");
    EXPECT_FALSE(FileLock::isHeld(paths.exclusiveLock()));
  }
  expectError(w->erase(), ErrorKind::MediumNotWritable);  // a CD-R
  auto fits = tryBurn(998);  // 998 + 2 run-out blocks fill the disc exactly
  ASSERT_TRUE(fits) << fits.error().message;
  fits.value()->cancel();
  finish(std::move(fits));

  // A failed or short producer leaves the disc as it was; a verification
  // mismatch names the block, and the written track stays on the disc.
  insert(MediumKind::CDR);
  struct Failure {
    std::optional<ErrorKind> kind;
    std::string fragment;
    bool blankAfter;
    std::function<void(TestProducer&)> fault;
  };
  for (const Failure& c : {Failure{ErrorKind::Io, "", true, [](TestProducer& p) { p.failAt = 1000 * 2048; }},
                           Failure{std::nullopt, "ran out", true, [](TestProducer& p) { p.dryAfter = 10 * 2048; }},
                           Failure{ErrorKind::VerifyMismatch, "block 123", false,
                                   [](TestProducer& p) { p.changeAt = 123 * 2048 + 17; }}}) {
    SCOPED_TRACE(c.fragment);
    auto producer = std::make_shared<TestProducer>(3000);  // several chunks: the fault comes while writing
    c.fault(*producer);
    const JobStatus s = finish(w->burn(BurnSettings{}, producer->track(), producer));
    EXPECT_EQ(s.phase, JobPhase::Failed);
    ASSERT_TRUE(s.error);
    EXPECT_EQ(s.error->kind, c.kind.value_or(s.error->kind));
    EXPECT_NE(s.error->message.find(c.fragment), std::string::npos) << s.error->message;
    EXPECT_EQ(producer->cleanedUp, 1);
    EXPECT_EQ(w->mediumState().blank, c.blankAfter);
    EXPECT_FALSE(w->mediumState().busy);
  }
  EXPECT_EQ(w->mediumState().tracks.size(), 2u);
  // A medium file shorter than its track (cut by another program) ends the
  // reading back at the first missing block.
  const ChunkSource zeros = [](std::span<std::byte> b) -> Result<std::uint32_t> {
    return static_cast<std::uint32_t>(b.size());
  };
  expectError(verifySession(WriterPaths{dir(), "rec"}, TrackRecord{BlockAddress{400000}, BlockCount{4}}, BlockCount{4},
                            zeros, WriteControl{}),
              ErrorKind::Io, "cannot read back block 400000");
  // Without verification the same data burns; not appendable, it closes the disc.
  BurnSettings closing;
  closing.verify = false;
  closing.appendable = false;
  auto changing = std::make_shared<TestProducer>(3000);
  changing->changeAt = 5;
  EXPECT_EQ(finish(w->burn(closing, changing->track(), changing)).phase, JobPhase::Succeeded);
  EXPECT_FALSE(w->mediumState().appendable);
  EXPECT_EQ(w->mediumState().spaceFree.value, 0);

  // Cancelled while writing: no track is recorded.
  insert(MediumKind::CDR);
  test::ScopedEnv slow("TESSALINE_EMULATED_SPEED", "1");
  BurnSettings settings;
  settings.requestedSpeedKBps = 1000;
  auto slowOne = std::make_shared<TestProducer>(20000);
  auto job = w->burn(settings, slowOne->track(), slowOne);
  ASSERT_TRUE(job);
  ASSERT_TRUE(waitUntil([&] { return job.value()->status().phase == JobPhase::Writing; }));
  EXPECT_TRUE(w->mediumState().busy);
  job.value()->cancel();
  EXPECT_EQ(finish(std::move(job)).phase, JobPhase::Cancelled);
  EXPECT_TRUE(w->mediumState().blank);
  EXPECT_FALSE(w->mediumState().busy);
  // A job dropped by its owner while it writes stops there, and frees the writer too.
  auto dropped = w->burn(settings, slowOne->track(), slowOne);
  ASSERT_TRUE(dropped);
  ASSERT_TRUE(waitUntil([&] { return dropped.value()->status().phase == JobPhase::Writing; }));
  dropped.value().reset();
  EXPECT_FALSE(w->mediumState().busy);
  EXPECT_TRUE(w->mediumState().blank);
  auto small = std::make_shared<TestProducer>(300);
  auto done = w->burn(BurnSettings{}, small->track(), small);
  ASSERT_TRUE(done);
  ASSERT_TRUE(waitUntil([&] { return done.value()->status().phase == JobPhase::Succeeded; }));
  // A finished job dropped while the next one writes leaves that one its writer.
  auto next = w->burn(settings, slowOne->track(), slowOne);
  ASSERT_TRUE(next);
  ASSERT_TRUE(waitUntil([&] { return next.value()->status().phase == JobPhase::Writing; }));
  done.value().reset();
  EXPECT_TRUE(FileLock::isHeld(WriterPaths{dir(), "rec"}.exclusiveLock()));
  next.value()->cancel();
  EXPECT_EQ(finish(std::move(next)).phase, JobPhase::Cancelled);
}

// A disc inserted by another process, quiet while nothing changes, and a
// writer it makes that is listed before the folder's watch reports it.
TEST_F(EmulatedServiceTest, ReportsChangesMadeInThisProcessAndByAnotherOne) {
  EmulatedService svc(dir());
  std::vector<MediumState> seen;
  QObject::connect(&svc, &DiscRecordingService::deviceStatusChanged,
                   [&](std::shared_ptr<Writer> writer) { seen.push_back(writer->mediumState()); });
  svc.startNotifications();
  EXPECT_TRUE(seen.empty());  // queued, not from inside the call
  ASSERT_TRUE(waitUntil([&] { return !seen.empty(); }));
  EXPECT_FALSE(seen[0].present);
  const auto saw = [&](const std::function<bool(const MediumState&)>& pred) {
    return waitUntil([&] { return std::any_of(seen.begin(), seen.end(), pred); });
  };
  // The disc passes through a transition on its way in.
  seen.clear();
  ASSERT_EQ(runCli({"writer", "insert", "rec", "--medium", "cd-rw"}).exitCode, 0);
  EXPECT_TRUE(saw([](const MediumState& s) { return s.transitioning; }));
  EXPECT_TRUE(saw([](const MediumState& s) { return !s.transitioning && s.present && s.kind == MediumKind::CDRW; }));
  // Nothing more is reported while nothing changes.
  seen.clear();
  QTest::qWait(300);
  EXPECT_TRUE(seen.empty());
  int appeared = 0;
  QObject::connect(&svc, &DiscRecordingService::deviceAppeared, [&] { ++appeared; });
  ASSERT_EQ(runCli({"writer", "create", "second"}).exitCode, 0);
  EXPECT_EQ(svc.devices().size(), 2u);
  EXPECT_TRUE(waitUntil([&] { return appeared == 1; }));
}

// Between two processes: the one waiting gets the reservation once the
// holder lets go; an idle holder hands it over when asked, but not while it
// holds the writer, and does not take it back afterwards.
TEST_F(EmulatedServiceTest, MediaReservationPassesToTheWaiterOnlyWhenTheHolderIsIdle) {
  ASSERT_TRUE(insertMedium(dir(), "rec", MediumSpec{}));
  EmulatedService first(dir()), second(dir());
  auto a = first.devices().at(0), b = second.devices().at(0);
  const auto holds = [](const std::shared_ptr<Writer>& writer) { return writer->mediumState().reserved; };
  ASSERT_TRUE(a->acquireMediaReservation());
  ASSERT_TRUE(b->acquireMediaReservation());  // asked for, not granted
  EXPECT_TRUE(holds(a) && !holds(b));
  second.startNotifications();
  a->releaseMediaReservation();
  ASSERT_TRUE(waitUntil([&] { return holds(b); }));
  b->releaseMediaReservation();

  first.startNotifications();
  ASSERT_TRUE(a->acquireMediaReservation());
  ASSERT_TRUE(waitUntil([&] { return holds(a); }));
  ASSERT_TRUE(a->acquireExclusiveAccess());
  ASSERT_TRUE(b->acquireMediaReservation());
  QTest::qWait(400);
  EXPECT_TRUE(holds(a) && !holds(b));
  a->releaseExclusiveAccess();
  ASSERT_TRUE(waitUntil([&] { return holds(b); }));
  QTest::qWait(400);
  EXPECT_TRUE(holds(b) && !holds(a));
}

// The mounted tree: without write permissions, taken away while the
// writer is held and after an eject, back after a wiped runtime folder, and
// never a stale tree for a disc burned anew under the same name.
TEST_F(EmulatedServiceTest, TheMountedTreeIsReadOnlyAndFollowsTheDisc) {
  const fs::path tree = tmp / "tree";
  const auto image = [&](const std::string& content, const char* name) {
    writeFile(tree / "deep/er/a.txt", content);
    return test::makeSessionImage(tree, tmp / name, "0", "MY VOL");
  };
  open(MediumSpec{MediumKind::CDRW, kCd80Capacity, {image("first", "a.iso")}, false, std::nullopt});
  const auto mounted = [&] { return service->serviceMounts().size() == 1; };
  ASSERT_TRUE(mounted());
  const fs::path root = service->serviceMounts()[0].mountPoint;
  EXPECT_EQ(root, writerMountDir("rec") / "MY VOL");
  const std::string table = readFile(WriterPaths{dir(), "rec"}.mountTable());
  EXPECT_NE(table.find("/dev/emu1 " + escapeMountField(root.string()) + " iso9660 ro 0 0"), std::string::npos) << table;
  for (const fs::path& p : {root, root / "deep", root / "deep/er/a.txt"}) {
    struct stat st {};
    ASSERT_EQ(::lstat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u) << p;
  }

  ASSERT_TRUE(w->acquireExclusiveAccess());
  EXPECT_TRUE(service->serviceMounts().empty());
  EXPECT_FALSE(fs::exists(root));
  w->releaseExclusiveAccess();
  (void)w->mediumState();  // the status read mounts it again, in the background
  ASSERT_TRUE(waitUntil(mounted));
  removeReadOnlyTree(tmp / "run");
  EXPECT_TRUE(service->serviceMounts().empty());
  writeFile(root, "not the disc");
  EXPECT_TRUE(service->serviceMounts().empty());  // nor is a file in its place
  fs::remove(root);
  EXPECT_TRUE(w->mediumState().present);
  ASSERT_TRUE(waitUntil(mounted));
  EXPECT_EQ(readFile(root / "deep/er/a.txt"), "first");
  {  // A mount table edited to name a folder elsewhere: a hold never moves that folder.
    writeFile(tmp / "outside/keep.txt", "mine");
    std::string edited = readFile(WriterPaths{dir(), "rec"}.mountTable());
    const std::string field = escapeMountField(root.string());
    edited.replace(edited.find(field), field.size(), escapeMountField((tmp / "outside").string()));
    writeFile(WriterPaths{dir(), "rec"}.mountTable(), edited);
    ASSERT_TRUE(w->acquireExclusiveAccess());
    EXPECT_EQ(readFile(tmp / "outside/keep.txt"), "mine");
    w->releaseExclusiveAccess();
  }

  // Ejected after a brief hold, then burned anew with other content under
  // the same name: a fresh tree, not the one kept over the hold.
  ASSERT_TRUE(w->acquireExclusiveAccess());
  w->releaseExclusiveAccess();
  ASSERT_TRUE(eject(dir(), "rec"));
  EXPECT_FALSE(fs::exists(root));
  insert(MediumKind::CDRW, 359847, false, {image("second", "b.iso")});
  (void)w->mediumState();
  ASSERT_TRUE(waitUntil(mounted));
  EXPECT_EQ(readFile(root / "deep/er/a.txt"), "second");
  // The writer's mount folder swapped for a link to a folder elsewhere: an
  // eject empties only what is the writer's own.
  writeFile(tmp / "elsewhere/keep.txt", "mine");
  removeReadOnlyTree(writerMountDir("rec"));
  fs::create_directory_symlink(tmp / "elsewhere", writerMountDir("rec"));
  (void)eject(dir(), "rec");
  EXPECT_EQ(readFile(tmp / "elsewhere/keep.txt"), "mine");
}

}  // namespace
}  // namespace tessaline::emulated
