// The emulated recorder through the service interface: burning with a
// producer, verification, refusals, erasing, notifications (also of changes
// made by another process), exclusive access across processes and mounting.
// xorriso reads what was written, as an independent reader.

#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "devices/emulated/emulated_medium.h"
#include "devices/emulated/emulated_mount.h"
#include "devices/emulated/emulated_service.h"
#include "devices/mount_table.h"
#include "support/test_support.h"

namespace tessaline::emulated {
namespace {

using test::readFile;
using test::runCli;
using test::runProgram;
using test::TempDir;
using test::waitUntil;
using test::writeFile;

struct Env {
  TempDir tmp;
  test::ScopedEnv writers{"TESSALINE_WRITERS_DIR", (tmp / "writers").string()};
  test::ScopedEnv runtime{"XDG_RUNTIME_DIR", (tmp / "run").string()};
  test::ScopedEnv cache{"XDG_CACHE_HOME", (tmp / "cache").string()};
  test::ScopedEnv speed{"TESSALINE_EMULATED_SPEED", "0"};
  fs::path dir() const { return tmp / "writers"; }
  WriterPaths paths(const std::string& name) const { return WriterPaths{dir(), name}; }
};

// genisoimage: a first session, or one continuing the disc in `medium`.
fs::path makeIso(const fs::path& tree, const fs::path& out, const std::string& volume,
                 const std::string& sessionString = "0", const fs::path& medium = {}) {
  std::vector<std::string> args{"-quiet", "-r", "-V", volume, "-o", out.string()};
  if (sessionString != "0") {
    args.insert(args.end(), {"-C", sessionString});
    if (!medium.empty()) args.insert(args.end(), {"-M", medium.string()});
  }
  args.push_back(tree.string());
  const auto r = runProgram("genisoimage", args);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return out;
}

// Extracts the session at `start` with xorriso; answers its exit status.
int xorrisoExtract(const fs::path& medium, BlockAddress start, const fs::path& target) {
  return runProgram("xorriso", {"-osirrox", "on", "-indev", "stdio:" + medium.string(), "-load", "sbsector",
                                std::to_string(start.value), "-extract", "/", target.string()})
      .exitCode;
}

// Hands out a byte vector and starts again from the front when all of it has
// been handed out, as the image producer does. Can be told to differ on its
// second pass, to fail, or to be short.
class TestProducer : public TrackProducer {
 public:
  explicit TestProducer(std::vector<std::byte> data) : data_(std::move(data)) {}
  std::size_t size() const { return data_.size(); }
  Status prepareTrack() override { return ++prepared, Status{}; }
  Result<std::uint32_t> produceData(std::span<std::byte> buffer) override {
    ++calls;
    if (failAtCall > 0 && calls >= failAtCall) return makeError(ErrorKind::Io, "the image went away");
    if (pos_ == data_.size() && rewinds) {
      pos_ = 0;
      ++pass_;
    }
    const std::size_t n = std::min(buffer.size(), data_.size() - pos_);
    std::memcpy(buffer.data(), data_.data() + pos_, n);
    if (pass_ > 0 && corruptByte >= pos_ && corruptByte < pos_ + n) buffer[corruptByte - pos_] ^= std::byte{0x5a};
    pos_ += n;
    return static_cast<std::uint32_t>(n);
  }
  void cleanupTrack() override { ++cleaned; }

  int prepared = 0, cleaned = 0, calls = 0, failAtCall = 0;
  bool rewinds = true;
  std::size_t corruptByte = SIZE_MAX;

 private:
  std::vector<std::byte> data_;
  std::size_t pos_ = 0, pass_ = 0;
};

TrackProperties trackOf(std::size_t bytes) {
  TrackProperties t;
  t.length = BlockCount::fromBytesRoundedDown(static_cast<std::int64_t>(bytes));
  return t;
}

std::shared_ptr<TestProducer> blocksOf(std::size_t blocks, std::byte fill = std::byte{0}) {
  return std::make_shared<TestProducer>(std::vector<std::byte>(blocks * 2048, fill));
}

std::shared_ptr<TestProducer> imageProducer(const fs::path& image) {
  const std::string data = readFile(image);
  const auto* bytes = reinterpret_cast<const std::byte*>(data.data());
  return std::make_shared<TestProducer>(std::vector<std::byte>(bytes, bytes + data.size()));
}

std::shared_ptr<Writer> writerNamed(EmulatedService& service, const std::string& name) {
  for (auto& w : service.devices())
    if (w->ioRegistryEntryPath() == "/emulated/" + name) return w;
  return nullptr;
}

// Runs a job to its end; answers its final status.
JobStatus finish(Job& job) {
  QSignalSpy spy(&job, &Job::finished);
  EXPECT_TRUE(waitUntil([&] { return spy.count() > 0; }, std::chrono::seconds(60)));
  EXPECT_EQ(spy.count(), 1);
  return job.status();
}

// Burns the producer's data as one track (or `bytes` of it) and runs the job to its end.
JobStatus burnToEnd(Writer& w, std::shared_ptr<TestProducer> p, const BurnSettings& settings = {},
                    std::size_t bytes = 0) {
  auto job = w.burn(settings, trackOf(bytes ? bytes : p->size()), p);
  if (!job) {
    ADD_FAILURE() << "burn refused: " << job.error().message;
    return JobStatus{JobPhase::Failed, 0.0, job.error()};
  }
  return finish(*job.value());
}

template <typename R>
void expectError(const R& r, ErrorKind kind, const std::string& fragment = {}) {
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, kind) << r.error().message;
  EXPECT_NE(r.error().message.find(fragment), std::string::npos) << r.error().message;
}

class EmulatedServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(createWriter(env.dir(), "rec", {}));
    writeFile(env.tmp / "one/hello.txt", "hello\n");
    writeFile(env.tmp / "one/folder/inner.txt", std::string(70000, 'i'));
    writeFile(env.tmp / "two/second.txt", "second session\n");
  }
  // Inserts `spec` (if any) in "rec", then opens the service on it.
  void open(std::optional<MediumSpec> spec = MediumSpec{}) {
    if (spec) {
      ASSERT_TRUE(insertMedium(env.dir(), "rec", *spec));
    }
    service = std::make_unique<EmulatedService>(env.dir());
    w = writerNamed(*service, "rec");
    ASSERT_TRUE(w);
  }
  fs::path firstIso() { return makeIso(env.tmp / "one", env.tmp / "one.iso", "FIRST"); }
  Env env;
  std::unique_ptr<EmulatedService> service;
  std::shared_ptr<Writer> w;
};

TEST_F(EmulatedServiceTest, WriterIdentityIsStableAndItsDeviceNameNeverAPrefixOfAnother) {
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(createWriter(env.dir(), "extra " + std::to_string(i), {}));
  EmulatedService svc(env.dir());
  const auto writers = svc.devices();
  ASSERT_EQ(writers.size(), 11u);
  EXPECT_EQ(writers[0]->ioRegistryEntryPath(), "/emulated/rec");
  EXPECT_EQ(writers[0]->displayName(), QStringLiteral("Emulated CD Recorder (rec)"));
  EXPECT_EQ(writers[0]->bsdName(), "emu1");
  EXPECT_EQ(writers[10]->bsdName(), "emu11");
  EXPECT_EQ(writers[0]->toolDeviceName(), (env.dir() / "rec" / "medium.img").string());
  EXPECT_TRUE(writers[0]->isEmulated());
  // A second service sees the same writers, equal by identity.
  EmulatedService other(env.dir());
  EXPECT_TRUE(other.devices()[0]->isEqual(*writers[0]));
  EXPECT_FALSE(writers[1]->isEqual(*writers[0]));
  // A removed writer's number is not handed out again.
  ASSERT_TRUE(removeWriter(env.dir(), "extra 9"));
  ASSERT_TRUE(createWriter(env.dir(), "late", {}));
  EXPECT_EQ(writerNamed(other, "late")->bsdName(), "emu12");
}

TEST_F(EmulatedServiceTest, BlankDiscStateAndTrackLayout) {
  open(std::nullopt);
  EXPECT_FALSE(w->mediumState().present);
  ASSERT_TRUE(insertMedium(env.dir(), "rec", MediumSpec{MediumKind::CDRW, kCd80Capacity, {}, false, std::nullopt}));
  const MediumState s = w->mediumState();
  EXPECT_TRUE(s.present && s.blank && s.appendable && s.erasable && s.kind == MediumKind::CDRW);
  EXPECT_EQ(s.spaceFree.value, 359847);
  EXPECT_EQ(s.spaceUsed.value, 0);
  EXPECT_EQ(s.tracks, (std::vector<TrackRecord>{{BlockAddress{0}, BlockCount{359847}}}));
  // The medium file spans the disc's whole address space, sparsely.
  struct stat st {};
  ASSERT_EQ(::stat(w->toolDeviceName().c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 359847LL * 2048);
  EXPECT_LT(st.st_blocks * 512, 1 << 20);
}

TEST_F(EmulatedServiceTest, BurnsSessionsAtTheirAddressesAndXorrisoReadsThem) {
  open();
  const fs::path first = firstIso();
  auto producer = imageProducer(first);
  const JobStatus done = burnToEnd(*w, producer);
  ASSERT_EQ(done.phase, JobPhase::Succeeded) << (done.error ? done.error->message : "");
  EXPECT_EQ(producer->prepared, 1);
  EXPECT_EQ(producer->cleaned, 1);

  const std::int64_t n = static_cast<std::int64_t>(fs::file_size(first)) / 2048;
  MediumState s = w->mediumState();
  EXPECT_FALSE(s.blank || s.busy);
  ASSERT_EQ(s.tracks.size(), 2u);
  const std::int64_t next = std::max<std::int64_t>(n, 300) + 2 + 11400;
  EXPECT_EQ(s.tracks[1].start.value, next);
  EXPECT_EQ(s.spaceFree.value, 359847 - next);

  // The burn mounted the disc (the default completion action).
  auto mounts = service->serviceMounts();
  ASSERT_EQ(mounts.size(), 1u);
  EXPECT_EQ(mounts[0], (MountEntry{"/dev/emu1", (writerMountDir("rec") / "FIRST").string(), "iso9660"}));
  EXPECT_EQ(readFile(fs::path(mounts[0].mountPoint) / "hello.txt"), "hello\n");

  // A second session built by genisoimage against the medium file.
  const fs::path second =
      makeIso(env.tmp / "two", env.tmp / "two.iso", "SECOND", "0," + std::to_string(next), w->toolDeviceName());
  ASSERT_EQ(burnToEnd(*w, imageProducer(second)).phase, JobPhase::Succeeded);
  s = w->mediumState();
  ASSERT_EQ(s.tracks.size(), 3u);
  const std::int64_t n2 = std::max<std::int64_t>(static_cast<std::int64_t>(fs::file_size(second)) / 2048, 300);
  EXPECT_EQ(s.tracks[2].start.value, next + n2 + 2 + 6900);  // the later gap

  ASSERT_EQ(xorrisoExtract(w->toolDeviceName(), BlockAddress{0}, env.tmp / "x1"), 0);
  EXPECT_EQ(readFile(env.tmp / "x1/hello.txt"), "hello\n");
  EXPECT_FALSE(fs::exists(env.tmp / "x1/second.txt"));
  ASSERT_EQ(xorrisoExtract(w->toolDeviceName(), BlockAddress{next}, env.tmp / "x2"), 0);
  EXPECT_EQ(readFile(env.tmp / "x2/folder/inner.txt"), std::string(70000, 'i'));
  EXPECT_EQ(readFile(env.tmp / "x2/second.txt"), "second session\n");
  // And the mount follows the last session.
  mounts = service->serviceMounts();
  ASSERT_EQ(mounts.size(), 1u);
  EXPECT_EQ(readFile(fs::path(mounts[0].mountPoint) / "second.txt"), "second session\n");
}

TEST_F(EmulatedServiceTest, DataThatIsNotIso9660IsNotMountedAndANotAppendableBurnClosesTheDisc) {
  open();
  ASSERT_EQ(burnToEnd(*w, blocksOf(50, std::byte{7})).phase, JobPhase::Succeeded);
  MediumState s = w->mediumState();
  EXPECT_TRUE(s.present && s.appendable && !s.blank);
  EXPECT_TRUE(service->serviceMounts().empty());

  BurnSettings settings;
  settings.appendable = false;
  ASSERT_EQ(burnToEnd(*w, blocksOf(100), settings).phase, JobPhase::Succeeded);
  s = w->mediumState();
  EXPECT_FALSE(s.appendable);
  EXPECT_EQ(s.spaceFree.value, 0);
  // No next writable track on a closed disc.
  ASSERT_EQ(s.tracks.size(), 2u);
  EXPECT_EQ(s.tracks[1].length.value, 300);
  expectError(w->burn(BurnSettings{}, trackOf(2048), blocksOf(1)), ErrorKind::MediumNotWritable, "closed");
}

TEST_F(EmulatedServiceTest, FailedBurnsSayWhyAndOnlyAVerifiedTrackStays) {
  open();
  std::vector<std::byte> data(3000 * 2048);  // several chunks: the failure comes while writing
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::byte>(i * 7 + 3);
  auto failing = blocksOf(3000, std::byte{1});
  failing->failAtCall = 3;
  auto shortOne = blocksOf(10);  // less data than the track length
  shortOne->rewinds = false;
  auto corrupt = std::make_shared<TestProducer>(data);
  corrupt->corruptByte = 123 * 2048 + 17;
  struct Case {
    std::shared_ptr<TestProducer> producer;
    std::optional<ErrorKind> kind;
    std::string fragment;
    bool blankAfter;
  };
  // A failed or short producer leaves the disc as it was; a verification
  // mismatch names the block, and the written track stays on the disc.
  for (const Case& c : {Case{failing, ErrorKind::Io, "", true}, Case{shortOne, std::nullopt, "ran out", true},
                        Case{corrupt, ErrorKind::VerifyMismatch, "block 123", false}}) {
    SCOPED_TRACE(c.fragment);
    const JobStatus s = burnToEnd(*w, c.producer, {}, data.size());
    EXPECT_EQ(s.phase, JobPhase::Failed);
    ASSERT_TRUE(s.error);
    if (c.kind) {
      EXPECT_EQ(s.error->kind, *c.kind);
    }
    EXPECT_NE(s.error->message.find(c.fragment), std::string::npos) << s.error->message;
    EXPECT_EQ(c.producer->cleaned, 1);
    EXPECT_EQ(w->mediumState().blank, c.blankAfter);
    EXPECT_FALSE(w->mediumState().busy);
  }
  EXPECT_EQ(w->mediumState().tracks.size(), 2u);
  // Without verification the same data burns fine.
  BurnSettings noVerify;
  noVerify.verify = false;
  auto p2 = std::make_shared<TestProducer>(data);
  p2->corruptByte = 5;
  EXPECT_EQ(burnToEnd(*w, p2, noVerify).phase, JobPhase::Succeeded);
}

TEST_F(EmulatedServiceTest, CancelStopsTheBurnWithoutRecordingATrack) {
  test::ScopedEnv slow("TESSALINE_EMULATED_SPEED", "1");
  open();
  BurnSettings settings;
  settings.requestedSpeedKBps = 1000;
  auto job = w->burn(settings, trackOf(20000 * 2048), blocksOf(20000));
  ASSERT_TRUE(job);
  ASSERT_TRUE(waitUntil([&] { return job.value()->status().phase == JobPhase::Writing; }));
  EXPECT_TRUE(w->mediumState().busy);
  job.value()->cancel();
  EXPECT_EQ(finish(*job.value()).phase, JobPhase::Cancelled);
  EXPECT_TRUE(w->mediumState().blank);
  EXPECT_FALSE(w->mediumState().busy);
}

TEST_F(EmulatedServiceTest, RefusesMediaItCannotWriteWithTypedErrors) {
  open(std::nullopt);
  const auto tryBurn = [&](std::int64_t blocks) {
    TrackProperties t;
    t.length = BlockCount{blocks};
    return w->burn(BurnSettings{}, t, blocksOf(1));
  };
  expectError(tryBurn(1), ErrorKind::NoMedium);
  ASSERT_TRUE(insertMedium(env.dir(), "rec", MediumSpec{MediumKind::CDROM, kCd80Capacity, {}, false, std::nullopt}));
  expectError(tryBurn(1), ErrorKind::MediumNotWritable, "cd-rom");
  ASSERT_TRUE(eject(env.dir(), "rec"));

  ASSERT_TRUE(insertMedium(env.dir(), "rec", MediumSpec{MediumKind::CDR, BlockCount{1000}, {}, false, std::nullopt}));
  expectError(tryBurn(999), ErrorKind::NoSpace);
  auto r = tryBurn(998);  // 998 + 2 run-out blocks fill the disc exactly
  ASSERT_TRUE(r) << r.error().message;
  r.value()->cancel();
  finish(*r.value());

  ASSERT_TRUE(setTray(env.dir(), "rec", true));
  EXPECT_FALSE(w->mediumState().present);
  EXPECT_TRUE(w->mediumState().trayOpen);
  expectError(tryBurn(1), ErrorKind::NoMedium);
}

TEST_F(EmulatedServiceTest, ErasesACdRwButNotACdR) {
  const fs::path first = firstIso();
  open(MediumSpec{MediumKind::CDR, kCd80Capacity, {first}, false, std::nullopt});
  expectError(w->erase(), ErrorKind::MediumNotWritable);
  EXPECT_EQ(w->mediumState().tracks.size(), 2u);

  ASSERT_TRUE(eject(env.dir(), "rec"));
  ASSERT_TRUE(insertMedium(env.dir(), "rec", MediumSpec{MediumKind::CDRW, kCd80Capacity, {first}, true, std::nullopt}));
  ASSERT_FALSE(w->mediumState().appendable);
  auto job = w->erase();
  ASSERT_TRUE(job) << job.error().message;
  EXPECT_EQ(finish(*job.value()).phase, JobPhase::Succeeded);
  const MediumState s = w->mediumState();
  EXPECT_TRUE(s.blank && s.appendable);
  EXPECT_EQ(s.spaceFree.value, 359847);
  // The old data is gone from the medium file.
  EXPECT_FALSE(isoVolumeIdAt(w->toolDeviceName(), BlockAddress{0}));
  EXPECT_EQ(fs::file_size(w->toolDeviceName()), 359847ULL * 2048);
}

TEST_F(EmulatedServiceTest, ReportsChangesMadeInThisProcessAndByAnotherOne) {
  EmulatedService svc(env.dir());
  std::vector<std::pair<std::string, MediumState>> seen;
  QObject::connect(&svc, &DiscRecordingService::deviceStatusChanged, [&](std::shared_ptr<Writer> writer) {
    seen.emplace_back(writer->ioRegistryEntryPath(), writer->mediumState());
  });
  std::vector<std::string> appeared, disappeared;
  const auto record = [](std::vector<std::string>& into) {
    return [&into](std::shared_ptr<Writer> writer) { into.push_back(writer->ioRegistryEntryPath()); };
  };
  QObject::connect(&svc, &DiscRecordingService::deviceAppeared, record(appeared));
  QObject::connect(&svc, &DiscRecordingService::deviceDisappeared, record(disappeared));
  svc.startNotifications();
  EXPECT_TRUE(seen.empty());  // queued, not from inside the call
  ASSERT_TRUE(waitUntil([&] { return !seen.empty(); }));
  EXPECT_EQ(seen[0].first, "/emulated/rec");
  EXPECT_FALSE(seen[0].second.present);

  const auto sawState = [&](const std::function<bool(const MediumState&)>& pred) {
    return waitUntil([&] {
      for (const auto& s : seen)
        if (pred(s.second)) return true;
      return false;
    });
  };
  // In this process: insert passes through a transition.
  seen.clear();
  ASSERT_TRUE(insertMedium(env.dir(), "rec", MediumSpec{}));
  EXPECT_TRUE(sawState([](const MediumState& s) { return s.transitioning; }));
  EXPECT_TRUE(sawState([](const MediumState& s) { return !s.transitioning && s.present && s.blank; }));

  // Another process ejects, inserts, and makes and removes writers.
  seen.clear();
  ASSERT_EQ(runCli({"writer", "eject", "rec"}).exitCode, 0);
  EXPECT_TRUE(sawState([](const MediumState& s) { return !s.transitioning && !s.present; }));
  seen.clear();
  ASSERT_EQ(runCli({"writer", "insert", "rec", "--medium", "cd-rw"}).exitCode, 0);
  EXPECT_TRUE(sawState([](const MediumState& s) { return s.transitioning; }));
  EXPECT_TRUE(sawState([](const MediumState& s) { return !s.transitioning && s.present && s.kind == MediumKind::CDRW; }));

  ASSERT_EQ(runCli({"writer", "create", "second"}).exitCode, 0);
  ASSERT_TRUE(waitUntil([&] { return appeared.size() == 1; }));
  EXPECT_EQ(appeared[0], "/emulated/second");
  EXPECT_EQ(svc.devices().size(), 2u);
  ASSERT_EQ(runCli({"writer", "remove", "second"}).exitCode, 0);
  ASSERT_TRUE(waitUntil([&] { return disappeared.size() == 1; }));
  EXPECT_EQ(disappeared[0], "/emulated/second");
  EXPECT_EQ(svc.devices().size(), 1u);

  // Nothing more is reported while nothing changes.
  seen.clear();
  QTest::qWait(700);
  EXPECT_TRUE(seen.empty());
}

TEST_F(EmulatedServiceTest, ExclusiveAccessIsRefusedWhileAnotherProcessBurns) {
  open(MediumSpec{MediumKind::CDR, kCd80Capacity, {firstIso()}, false, std::nullopt});
  ASSERT_EQ(service->serviceMounts().size(), 1u);  // mounted on insertion

  // A slow append in another process.
  writeFile(env.tmp / "big/data.bin", std::string(3 << 20, 'd'));
  const std::string sessions = "0," + std::to_string(w->mediumState().tracks.back().start.value);
  const fs::path second = makeIso(env.tmp / "big", env.tmp / "big.iso", "BIG", sessions, w->toolDeviceName());
  QProcess cli;
  QProcessEnvironment penv = QProcessEnvironment::systemEnvironment();
  penv.insert(QStringLiteral("TESSALINE_EMULATED_SPEED"), QStringLiteral("1"));
  cli.setProcessEnvironment(penv);
  cli.start(QStringLiteral(TESSALINE_CLI_PATH),
            {QStringLiteral("writer"), QStringLiteral("append"), QStringLiteral("rec"),
             QString::fromStdString(second.string()), QStringLiteral("--speed"), QStringLiteral("7")});
  ASSERT_TRUE(cli.waitForStarted());
  ASSERT_TRUE(waitUntil([&] { return w->mediumState().busy; }));
  EXPECT_TRUE(service->serviceMounts().empty());  // the writer unmounted the disc

  expectError(w->burn(BurnSettings{}, trackOf(2048), blocksOf(1)), ErrorKind::Busy,
              "in use by another program (pid " + std::to_string(cli.processId()) + ")");
  expectError(w->acquireExclusiveAccess(), ErrorKind::Busy);
  // A second command-line burn is refused the same way.
  const auto second2 = runCli({"writer", "append", "rec", second.string()});
  EXPECT_EQ(second2.exitCode, 1);
  EXPECT_NE(second2.err.find("in use by another program"), std::string::npos) << second2.err;

  ASSERT_TRUE(cli.waitForFinished(60000));
  EXPECT_EQ(cli.exitCode(), 0) << cli.readAllStandardError().toStdString();
  ASSERT_TRUE(w->acquireExclusiveAccess());
  EXPECT_TRUE(service->serviceMounts().empty());
  w->releaseExclusiveAccess();
  EXPECT_EQ(w->mediumState().tracks.size(), 3u);
  ASSERT_TRUE(waitUntil([&] { return service->serviceMounts().size() == 1; }));  // mounted again once released
  EXPECT_EQ(fs::path(service->serviceMounts()[0].mountPoint).filename(), "BIG");
}

TEST_F(EmulatedServiceTest, MediaReservationPassesToTheWaiterOnlyWhenTheHolderIsIdle) {
  ASSERT_TRUE(insertMedium(env.dir(), "rec", MediumSpec{}));
  EmulatedService first(env.dir());
  EmulatedService second(env.dir());
  auto a = writerNamed(first, "rec");
  auto b = writerNamed(second, "rec");
  ASSERT_TRUE(a->acquireMediaReservation());
  EXPECT_TRUE(a->mediumState().reserved);
  ASSERT_TRUE(b->acquireMediaReservation());  // asked for, not yet granted
  EXPECT_FALSE(b->mediumState().reserved);
  second.startNotifications();
  QSignalSpy spy(&second, &DiscRecordingService::deviceStatusChanged);
  ASSERT_TRUE(waitUntil([&] { return spy.count() >= 1; }));
  spy.clear();
  a->releaseMediaReservation();
  EXPECT_FALSE(a->mediumState().reserved);
  ASSERT_TRUE(waitUntil([&] { return b->mediumState().reserved; }));
  EXPECT_TRUE(waitUntil([&] { return spy.count() >= 1; }));
  b->releaseMediaReservation();
  EXPECT_FALSE(b->mediumState().reserved);

  // An idle holder hands it over when asked, but not while it holds the writer.
  first.startNotifications();
  ASSERT_TRUE(a->acquireMediaReservation());
  ASSERT_TRUE(waitUntil([&] { return a->mediumState().reserved; }));
  ASSERT_TRUE(a->acquireExclusiveAccess());
  ASSERT_TRUE(b->acquireMediaReservation());
  waitUntil([] { return false; }, std::chrono::milliseconds(700));
  EXPECT_TRUE(a->mediumState().reserved);
  EXPECT_FALSE(b->mediumState().reserved);
  // Idle again: the one who asked gets it, and the first does not take it back.
  a->releaseExclusiveAccess();
  ASSERT_TRUE(waitUntil([&] { return b->mediumState().reserved; }));
  waitUntil([] { return false; }, std::chrono::milliseconds(700));
  EXPECT_FALSE(a->mediumState().reserved);
  EXPECT_TRUE(b->mediumState().reserved);
}

TEST_F(EmulatedServiceTest, ABriefExclusiveHoldRemountsTheSameTreeAndAnErasedDiscNeverGetsIt) {
  const fs::path tree = env.tmp / "tree";
  writeFile(tree / "a.txt", "first");
  open(MediumSpec{MediumKind::CDRW, kCd80Capacity, {makeIso(tree, env.tmp / "a.iso", "VOL")}, false, std::nullopt});
  auto inodeOf = [&](const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 ? st.st_ino : 0;
  };
  ASSERT_EQ(service->serviceMounts().size(), 1u);
  const fs::path root = service->serviceMounts()[0].mountPoint;
  const auto before = inodeOf(root / "a.txt");
  ASSERT_TRUE(w->acquireExclusiveAccess());
  EXPECT_TRUE(service->serviceMounts().empty());
  EXPECT_FALSE(fs::exists(root));
  w->releaseExclusiveAccess();
  (void)w->mediumState();  // the status read mounts it again, in the background
  ASSERT_TRUE(waitUntil([&] { return service->serviceMounts().size() == 1; }));
  EXPECT_EQ(inodeOf(root / "a.txt"), before);  // taken back, not copied again

  // Erased and burned anew with other content under the same name: a fresh tree.
  writeFile(tree / "a.txt", "second");
  ASSERT_TRUE(w->acquireExclusiveAccess());
  w->releaseExclusiveAccess();
  ASSERT_TRUE(eject(env.dir(), "rec"));
  ASSERT_TRUE(insertMedium(env.dir(), "rec",
                           MediumSpec{MediumKind::CDRW, kCd80Capacity, {makeIso(tree, env.tmp / "b.iso", "VOL")}, false, std::nullopt}));
  (void)w->mediumState();
  ASSERT_TRUE(waitUntil([&] { return service->serviceMounts().size() == 1; }));
  EXPECT_EQ(readFile(fs::path(service->serviceMounts()[0].mountPoint) / "a.txt"), "second");
}

TEST_F(EmulatedServiceTest, MountMaterialisesTheLastSessionReadOnlyWithExactNamesAndDates) {
  const fs::path tree = env.tmp / "tree";
  const std::string oddName = "caf\xe9 \xff.txt";  // Latin-1, not UTF-8
  const std::vector<std::pair<std::string, std::string>> files{
      {"plain.txt", "plain\n"}, {"with space.txt", "spaced\n"}, {oddName, "odd\n"},
      {"deep/er/file.bin", std::string(300000, 'z')}};
  for (const auto& [name, data] : files) writeFile(tree / name, data);
  ASSERT_EQ(::symlink("plain.txt", (tree / "link").c_str()), 0);
  ASSERT_EQ(::symlink("../nowhere", (tree / "deep/dangling").c_str()), 0);
  const std::vector<std::pair<std::string, long long>> dates{
      {"plain.txt", 1000000000}, {oddName, 1100000000}, {"link", 1200000000}, {"deep/er", 1300000000}};
  for (const auto& [name, date] : dates) test::setModTime(tree / name, date);
  open(MediumSpec{MediumKind::CDR, kCd80Capacity, {makeIso(tree, env.tmp / "tree.iso", "MY VOL")}, false, std::nullopt});

  const auto mounts = service->serviceMounts();
  ASSERT_EQ(mounts.size(), 1u);
  const fs::path root = mounts[0].mountPoint;
  EXPECT_EQ(root, writerMountDir("rec") / "MY VOL");
  EXPECT_TRUE(root.string().starts_with((env.tmp / "run").string()));
  const std::string table = readFile(env.paths("rec").mountTable());
  EXPECT_NE(table.find("/dev/emu1 " + escapeMountField(root.string()) + " iso9660 ro 0 0"), std::string::npos) << table;
  EXPECT_NE(table.find("MY\\040VOL"), std::string::npos) << table;

  for (const auto& [name, data] : files) EXPECT_EQ(readFile(root / name), data) << name;
  EXPECT_EQ(fs::read_symlink(root / "link"), "plain.txt");
  EXPECT_EQ(fs::read_symlink(root / "deep/dangling"), "../nowhere");
  for (const auto& [name, date] : dates) EXPECT_EQ(test::modTime(root / name), date) << name;
  for (const fs::path& p : {root, root / "deep", root / "plain.txt", root / "deep/er/file.bin"}) {
    struct stat st {};
    ASSERT_EQ(::lstat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u) << p;
  }
  test::openUpForNobody(root);
  EXPECT_EQ(test::runAsNobody([&] { return ::open((root / "new.txt").c_str(), O_WRONLY | O_CREAT, 0644) < 0 ? 0 : 1; }),
            0);

  // A wiped runtime folder: the next status read mounts again.
  removeReadOnlyTree(env.tmp / "run");
  EXPECT_TRUE(service->serviceMounts().empty());
  EXPECT_TRUE(w->mediumState().present);
  ASSERT_TRUE(waitUntil([&] { return service->serviceMounts().size() == 1; }));
  EXPECT_EQ(readFile(root / "plain.txt"), "plain\n");

  // Ejecting unmounts.
  ASSERT_TRUE(eject(env.dir(), "rec"));
  EXPECT_TRUE(service->serviceMounts().empty());
  EXPECT_FALSE(fs::exists(root));
}

TEST_F(EmulatedServiceTest, DamagedWritersAreReportedNotFatal) {
  open(MediumSpec{MediumKind::CDR, kCd80Capacity, {firstIso()}, false, std::nullopt});
  const WriterPaths paths = env.paths("rec");
  const std::string goodToc = readFile(paths.tocFile());
  const auto tryBurn = [&] { return w->burn(BurnSettings{}, trackOf(2048), blocksOf(1)); };

  // A hand-edited table of contents: no medium, and the burn says why.
  writeFile(paths.tocFile(), R"({"trayOpen":false,"disc":{"kind":"cd-r","capacity":359847,"closed":false,"tracks":[{"start":0,"length":300},{"start":100,"length":300}]}})");
  EXPECT_FALSE(w->mediumState().present);
  expectError(tryBurn(), ErrorKind::InvalidInput, "damaged");

  // The medium file deleted behind the writer's back.
  writeFile(paths.tocFile(), goodToc);
  fs::rename(paths.mediumFile(), env.tmp / "kept.img");
  EXPECT_FALSE(w->mediumState().present);
  expectError(tryBurn(), ErrorKind::NotFound, "has gone");
  EXPECT_FALSE(fs::exists(paths.mediumFile()));  // not silently made again

  // The whole folder gone: the writer disappears from the list.
  fs::rename(env.tmp / "kept.img", paths.mediumFile());
  EXPECT_TRUE(w->mediumState().present);
  removeReadOnlyTree(paths.dir());
  EXPECT_FALSE(w->mediumState().present);
  EXPECT_TRUE(service->devices().empty());
  EXPECT_FALSE(w->acquireMediaReservation());
}

}  // namespace
}  // namespace tessaline::emulated
