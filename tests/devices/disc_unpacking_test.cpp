// Discs of unknown origin (the fuzzer's corpus, tests/fuzz/make_discs.py) and
// other local users (nobody; tests run as root) in the emulated writer.

#include <gtest/gtest.h>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <set>

#include "common/log.h"
#include "devices/emulated/emulated_medium.h"
#include "devices/emulated/emulated_mount.h"
#include "devices/emulated/emulated_service.h"
#include "devices/emulated/emulated_writers.h"
#include "devices/iso_tree.h"
#include "support/simulated_drive.h"
#include "support/test_support.h"

namespace tessaline::emulated {
namespace {

// This process from now on as some sandboxes run it: without copy_file_range(2).
bool refuseCopyFileRange() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_copy_file_range, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS), BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// An open CD-R holding the image as its one session.
MediumSpec openCdr(const fs::path& image) { return MediumSpec{MediumKind::CDR, kCd80Capacity, {image}, false, std::nullopt}; }

using test::TempDir;
using test::waitUntil;
using test::writeFile;

struct Env {
  TempDir tmp;
  test::ScopedEnv runtime{"XDG_RUNTIME_DIR", (tmp / "run").string()};
  test::ScopedEnv cache{"XDG_CACHE_HOME", (tmp / "cache").string()};
  test::ScopedEnv speed{"TESSALINE_EMULATED_SPEED", "0"};
  Env() { fs::create_directories(tmp / "run"); }
  fs::path dir() const { return tmp / "writers"; }
  WriterPaths paths() const { return WriterPaths{dir(), "w"}; }
};

fs::path corpus(const std::string& name) { return fs::path(TESSALINE_CORPUS_DIR) / "disc" / name; }

// Every path under root, relative.
std::set<std::string> listing(const fs::path& root) {
  std::set<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    out.insert(fs::relative(it->path(), root).string());
  return out;
}

// Each entry under root: its type, and its target (a link) or its size, date
// and content.
std::set<std::string> treeSignature(const fs::path& root) {
  std::set<std::string> out;
  for (const std::string& rel : listing(root)) {
    const fs::path p = root / rel;
    const auto st = fs::symlink_status(p);
    if (fs::is_symlink(st)) {
      out.insert(rel + " -> " + fs::read_symlink(p).string());
      continue;
    }
    std::string line = rel + (fs::is_directory(st) ? " dir " : " file ") + std::to_string(test::modTime(p));
    if (fs::is_regular_file(st)) line += " " + test::readFile(p);
    out.insert(line);
  }
  return out;
}

TEST(DiscUnpacking, CraftedDiscsMountOrSayWhyAndWriteNothingElsewhere) {
  const std::vector<std::string> plain{"a.txt", "caf\xe9", "link", "dir/sub/b.txt", "dir/dangling",
                                       "d1/d2/d3/d4/d5/d6/d7/d8/d9/d10/deep.txt"};
  struct Case {
    std::string image;
    std::string failure;  // empty: it mounts
    std::vector<std::string> present, absent;
    bool sameAsXorriso = false;  // the tree xorriso extracts, exactly
  };
  const std::vector<Case> cases{
      {"plain-genisoimage.iso", "", plain, {"rr_moved/d8"}, true},
      {"plain-xorrisofs.iso", "", plain, {}, true},
      {"folder-loops-to-root.iso", "its folder /dir leads back into a folder already read (the tree loops)", {}, {}},
      {"relocation-loops-to-root.iso", "leads back into a folder already read (the tree loops)", {}, {}},
      {"folder-beyond-end.iso", "the disc has a folder beyond its end (/dir)", {}, {}},
      {"record-date-differs.iso", "", {"a.txt"}, {}, true},
      {"modify-time-only.iso", "", {"a.txt"}, {}, true},
      {"folders-150-deep.iso", "the disc nests folders deeper than 100 levels", {}, {}},
      {"continuation-loops.iso", "", {"dir/sub/b.txt"}, {}},
      {"continuation-chain-17.iso", "", {"A.TXT"}, {"unread.txt"}},
      {"continuation-cut-short.iso", "", {"a.txt", "b"}, {}},
      {"two-extents.iso", "", {"a.txt"}, {"b.txt"}, true},
      {"unusable-names.iso", "", {"fine", "ln"}, {"aa", "b", "bbbb", "c", "cccc"}},
      {"hard-links-200.iso", "", {"f0", "f199"}, {}, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image);
    Env env;
    // One disc is mounted onto another file system than its medium file's,
    // where the kernel cannot copy between the two.
    std::optional<test::ScopedMount> elsewhere;
    if (c.image == "plain-xorrisofs.iso") elsewhere.emplace(env.tmp / "run", "tmpfs", "size=64m");
    ASSERT_TRUE(createWriter(env.dir(), "w", {}));
    const std::set<std::string> before = listing(env.tmp.path());
    // Inserting a disc mounts it at once: in a child, bounded.
    // Another is unpacked where the kernel has no copy_file_range(2) at all.
    const test::ChildOutcome outcome = test::runInChild([&] {
      if (c.image == "plain-genisoimage.iso" && !refuseCopyFileRange()) return 2;
      return insertMedium(env.dir(), "w", openCdr(corpus(c.image))) ? 0 : 1;
    });
    EXPECT_TRUE(outcome.exited) << "signal " << outcome.signal;
    EXPECT_EQ(outcome.code, 0);
    EXPECT_LT(outcome.peakRssGrowthKb, 256 * 1024);

    // What the controller reads: the mount, or the reason there is none.
    EmulatedService service(env.dir());
    ASSERT_EQ(service.devices().size(), 1u);
    auto writer = service.devices()[0];
    const MediumState state = writer->mediumState();
    EXPECT_TRUE(state.present);
    if (!c.failure.empty()) {
      ASSERT_TRUE(state.mountFailure);
      EXPECT_NE(state.mountFailure->message.find(c.failure), std::string::npos) << state.mountFailure->message;
      EXPECT_TRUE(service.serviceMounts().empty());
      EXPECT_EQ(writerInfo(env.dir(), "w").value().mountFailure->message, state.mountFailure->message);
    } else {
      EXPECT_FALSE(state.mountFailure) << state.mountFailure->message;
      ASSERT_EQ(service.serviceMounts().size(), 1u);
      const fs::path root = service.serviceMounts()[0].mountPoint;
      for (const auto& name : c.present) EXPECT_TRUE(fs::exists(fs::symlink_status(root / name))) << name;
      for (const auto& name : c.absent) EXPECT_FALSE(fs::exists(fs::symlink_status(root / name))) << name;
      if (c.image == "unusable-names.iso") {
        EXPECT_TRUE(fs::is_symlink(root / "ln"));
      }
      if (c.image == "hard-links-200.iso") {  // links stay links
        struct stat first {}, last {};
        ASSERT_EQ(::stat((root / "f0").c_str(), &first), 0);
        ASSERT_EQ(::stat((root / "f199").c_str(), &last), 0);
        EXPECT_EQ(first.st_ino, last.st_ino);
        EXPECT_EQ(first.st_nlink, 200u);
      }
      if (c.sameAsXorriso) {
        const fs::path extracted = env.tmp / "xorriso";
        ASSERT_EQ(test::runProgram("xorriso", {"-osirrox", "on", "-indev", "stdio:" + corpus(c.image).string(), "-extract",
                                               "/", extracted.string()})
                      .exitCode,
                  0);
        EXPECT_EQ(treeSignature(root), treeSignature(extracted));
        removeReadOnlyTree(extracted);
      }
    }
    // Nothing new outside the writer's folder and its mount folder.
    for (const std::string& path : listing(env.tmp.path())) {
      if (before.contains(path)) continue;
      EXPECT_TRUE(path.starts_with("writers/w/") || path == "run/tessaline" || path.starts_with("run/tessaline/mounts"))
          << path;
    }
  }
}

// A disc is read up to its limit of entries, and refused one entry beyond it.
TEST(DiscUnpacking, ADiscWithMoreEntriesThanTheLimitIsRefused) {
  auto medium = MediumFile::open(corpus("plain-xorrisofs.iso"));
  ASSERT_TRUE(medium);
  const auto read = [&](std::size_t maxEntries) {
    IsoLimits limits;
    limits.maxEntries = maxEntries;
    return readIsoTree(medium.value().reader(), medium.value().bytes(), BlockAddress{0}, limits);
  };
  const auto whole = read(IsoLimits{}.maxEntries);
  ASSERT_TRUE(whole);
  EXPECT_TRUE(read(whole.value().entries.size()));
  const auto refused = read(whole.value().entries.size() - 1);
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().message.find("holds more than"), std::string::npos) << refused.error().message;
}

// A disc without Rock Ridge, as other programs may write one: its plain names show.
TEST(DiscUnpacking, ADiscWithoutRockRidgeShowsItsFiles) {
  Env env;
  writeFile(env.tmp / "plain/readme.txt", "plain");
  ASSERT_EQ(test::runProgram("genisoimage", {"-quiet", "-V", "PLAIN", "-o", (env.tmp / "p.iso").string(),
                                             (env.tmp / "plain").string()}).exitCode, 0);
  ASSERT_TRUE(createWriter(env.dir(), "w", {}));
  ASSERT_TRUE(insertMedium(env.dir(), "w", openCdr(env.tmp / "p.iso")));
  EXPECT_EQ(test::readFile(writerMountDir("w") / "PLAIN/README.TXT"), "plain");
  // A file put where the disc was unpacked does not pass for the disc.
  fs::remove_all(writerMountDir("w") / "PLAIN");
  writeFile(writerMountDir("w") / "PLAIN", "not the disc");
  const auto again = mountDisc(env.paths(), *readToc(env.paths()).value().disc, "emu1");
  ASSERT_TRUE(again && again.value());
  EXPECT_EQ(test::readFile(*again.value() / "README.TXT"), "plain");
}

TEST(DiscUnpacking, ARefusedDiscIsNotTriedAgainUntilItChangesAndMountingNeverHoldsUpTheCaller) {
  Env env;
  ASSERT_TRUE(createWriter(env.dir(), "w", {}));
  const WriterPaths paths = env.paths();
  auto insert = [&](const fs::path& image) {
    ASSERT_TRUE(eject(env.dir(), "w"));
    ASSERT_TRUE(insertMedium(env.dir(), "w", openCdr(image)));
  };
  std::vector<std::string> log;
  LogCapture capture([&](const std::string& line) { log.push_back(line); });
  auto attempts = [&] {
    return std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.find("cannot mount") != std::string::npos; });
  };

  // A damaged disc: refused once, then answered from memory, until it changes.
  insert(corpus("folder-loops-to-root.iso"));
  EXPECT_EQ(attempts(), 1);
  const Disc disc = *readToc(paths).value().disc;
  const auto again = mountDisc(paths, disc, "emu1");
  ASSERT_FALSE(again);
  EXPECT_NE(again.error().message.find("loops"), std::string::npos);
  EXPECT_EQ(attempts(), 1);
  insert(corpus("folder-loops-to-root.iso"));  // taken out and put back: another look
  EXPECT_EQ(attempts(), 2);

  // No room where it is unpacked: said before anything is written.
  insert(corpus("plain-genisoimage.iso"));
  ASSERT_TRUE(unmountDisc(paths));
  const Disc plain = *readToc(paths).value().disc;
  MountControl tight;
  tight.freeBytes = [](const fs::path&) { return std::optional<std::uint64_t>(4096); };
  const auto full = mountDisc(paths, plain, "emu1", tight);
  ASSERT_FALSE(full);
  EXPECT_EQ(full.error().kind, ErrorKind::NoSpace);
  EXPECT_NE(full.error().message.find("where it is unpacked, but only 1 MB are free"), std::string::npos)
      << full.error().message;
  EXPECT_TRUE(fs::is_empty(writerMountDir("w")));
  EXPECT_FALSE(mountDisc(paths, plain, "emu1", tight));
  EXPECT_EQ(attempts(), 3);
  EXPECT_EQ(rememberedMountFailure(paths, tight)->kind, ErrorKind::NoSpace);
  // Room made: mounted at the next look.
  EXPECT_FALSE(rememberedMountFailure(paths));
  const auto mounted = mountDisc(paths, plain, "emu1");
  ASSERT_TRUE(mounted);
  EXPECT_TRUE(mounted.value().has_value());
  EXPECT_FALSE(rememberedMountFailure(paths, tight));

  // While another program holds the mount, the state still comes at once,
  // and the disc is mounted behind it.
  ASSERT_TRUE(unmountDisc(paths));
  EmulatedService service(env.dir());
  ASSERT_EQ(service.devices().size(), 1u);
  auto writer = service.devices()[0];
  {
    auto held = FileLock::lock(paths.mountLock());
    ASSERT_TRUE(held);
    const MediumState state = writer->mediumState();
    EXPECT_TRUE(state.present);
    EXPECT_FALSE(state.mountFailure);
    EXPECT_TRUE(service.serviceMounts().empty());
  }
  EXPECT_TRUE(waitUntil([&] { return service.serviceMounts().size() == 1; }));
}

// Space running out in the middle of unpacking (once the free-space check is
// misled): the half-copied tree goes at once, not at the next look,
// which for a refused disc may be long after.
TEST(DiscUnpacking, AnUnpackingThatRunsOutOfSpaceLeavesNoHalfTree) {
  Env env;
  std::string noise(3 << 20, '\0');
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
  writeFile(env.tmp / "tree/big.bin", noise);
  const fs::path image = test::makeSessionImage(env.tmp / "tree", env.tmp / "big.iso", "0", "BIG");
  test::ScopedMount small(env.tmp / "run", "tmpfs", "size=1m");
  ASSERT_TRUE(small.mounted()) << small.why();
  ASSERT_TRUE(createWriter(env.dir(), "w", {}));
  ASSERT_TRUE(insertMedium(env.dir(), "w", openCdr(image)));
  // Inserted, it is refused for the space the file system reports, before any copying.
  const auto refusal = writerInfo(env.dir(), "w").value().mountFailure;
  ASSERT_TRUE(refusal);
  EXPECT_NE(refusal->message.find("where it is unpacked, but only"), std::string::npos) << refusal->message;
  MountControl misled;
  misled.freeBytes = [](const fs::path&) { return std::optional<std::uint64_t>(1ull << 40); };
  const auto mounted = mountDisc(env.paths(), *readToc(env.paths()).value().disc, "emu1", misled);
  ASSERT_FALSE(mounted);
  EXPECT_EQ(mounted.error().kind, ErrorKind::NoSpace) << mounted.error().message;
  EXPECT_TRUE(fs::is_empty(writerMountDir("w")));
  // A disc that fits is unpacked onto that other file system, as from a home folder into /run.
  writeFile(env.tmp / "small/a.txt", "alpha");
  ASSERT_TRUE(eject(env.dir(), "w"));
  ASSERT_TRUE(insertMedium(env.dir(), "w", openCdr(test::makeSessionImage(env.tmp / "small", env.tmp / "s.iso", "0", "S"))));
  const auto fits = mountDisc(env.paths(), *readToc(env.paths()).value().disc, "emu1", misled);
  ASSERT_TRUE(fits) << fits.error().message;
  ASSERT_TRUE(fits.value());
  EXPECT_EQ(test::readFile(*fits.value() / "a.txt"), "alpha");
}

unsigned modeOf(const fs::path& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFF;
}

TEST(WriterPermissions, OnlyTheOwnerReadsADiscAndOlderWritersAreClosedWhenOpened) {
  Env env;
  const fs::path dir = env.dir(), tmp = env.tmp.path();
  writeFile(tmp / "tree/secret.txt", "only mine");
  ASSERT_TRUE(createWriter(dir, "w", {}));
  ASSERT_TRUE(insertMedium(dir, "w", openCdr(test::makeSessionImage(tmp / "tree", tmp / "s.iso", "0", "SECRET"))));
  const WriterPaths paths = env.paths();
  ASSERT_TRUE(fs::exists(writerMountDir("w") / "SECRET/secret.txt"));  // under a folder checked below

  const std::vector<std::pair<fs::path, unsigned>> cases{
      {paths.dir(), 0700}, {paths.identityFile(), 0600}, {paths.tocFile(), 0600}, {paths.mediumFile(), 0600},
      {paths.mountTable(), 0600}, {paths.exclusiveLock(), 0600}, {paths.mountLock(), 0600},
      {tmp / "run/tessaline", 0700}, {mountBaseDir(), 0700}, {writerMountDir("w"), 0700}};
  // The owner's alone: another user reaches neither the image nor the mounted files.
  auto check = [&](const std::string& when) {
    for (const auto& [path, mode] : cases) EXPECT_EQ(modeOf(path), mode) << when << ": " << path;
  };
  check("made now");

  // A writer as earlier versions left it, open to everybody: closed, with its
  // mount folders, as soon as the service or a command opens it.
  auto openUp = [&] {
    ::chmod(dir.c_str(), 0755);
    for (const auto& [path, mode] : cases) ::chmod(path.c_str(), mode == 0700 ? 0755 : 0644);
  };
  openUp();
  { EmulatedService service(dir); }
  check("opened by the service");
  openUp();
  ASSERT_TRUE(writerInfo(dir, "w"));
  check("opened by a command");
}

// Root removes read-only folders anyway; an ordinary user's ejected disc
// leaves no unpacked tree behind either. A link found in the mount folder
// goes too, and what it, or a link on the disc, leads to stays as it was.
TEST(WriterPermissions, AnEjectedDiscLeavesNothingMountedForAnOrdinaryUser) {
  Env env;
  const fs::path tmp = env.tmp.path();
  test::ScopedEnv shelf("TESSALINE_DISCS_DIR", (tmp / "discs").string());
  writeFile(tmp / "tree/sub/deeper/a.txt", "a");
  fs::create_directories(tmp / "outside");  // a folder a link on the disc leads to
  fs::create_directory_symlink(tmp / "outside", tmp / "tree/sub/out");
  const fs::path image = test::makeSessionImage(tmp / "tree", tmp / "s.iso", "0", "TREE");
  for (const auto& entry : fs::recursive_directory_iterator(tmp)) ::chown(entry.path().c_str(), 65534, 65534);
  ::chown(tmp.c_str(), 65534, 65534);
  test::openUpForNobody(tmp);
  ::chmod((tmp / "outside").c_str(), 0750);
  EXPECT_EQ(test::runAsNobody([&] {
              if (!createWriter(env.dir(), "w", {}) || !insertMedium(env.dir(), "w", openCdr(image))) return 1;
              if (!fs::exists(writerMountDir("w") / "TREE/sub/deeper/a.txt")) return 2;
              fs::create_directory_symlink(tmp / "tree", writerMountDir("w") / "link");
              if (!eject(env.dir(), "w")) return 3;
              if (!fs::exists(tmp / "tree/sub/deeper/a.txt")) return 5;
              if (modeOf(tmp / "outside") != 0750) return 6;
              return fs::is_empty(writerMountDir("w")) ? 0 : 4;
            }),
            0);
}

TEST(WriterPermissions, AMountFolderTakenByAnotherUserIsNotUsed) {
  TempDir tmp;
  test::openUpForNobody(tmp.path());
  ASSERT_EQ(::chmod(tmp.path().c_str(), 01777), 0);  // like /tmp
  test::ScopedEnv runtime("XDG_RUNTIME_DIR", "");
  test::ScopedEnv cache("XDG_CACHE_HOME", "");
  test::ScopedEnv home("HOME", "");
  test::ScopedEnv tmpdir("TMPDIR", tmp.path().string());
  const fs::path fallback = tmp / ("tessaline-" + std::to_string(::geteuid()));
  EXPECT_EQ(mountBaseDir(), fallback / "mounts");
  ASSERT_EQ(test::runAsNobody([&] { return ::mkdir(fallback.c_str(), 0777) == 0 ? 0 : 1; }), 0);

  const fs::path dir = tmp / "writers";
  test::writeFile(tmp / "tree/a.txt", "a");
  ASSERT_TRUE(createWriter(dir, "w", {}));
  ASSERT_TRUE(insertMedium(dir, "w", openCdr(test::makeSessionImage(tmp / "tree", tmp / "a.iso", "0", "A"))));
  const auto info = writerInfo(dir, "w");
  ASSERT_TRUE(info);
  EXPECT_FALSE(info.value().mountPoint);
  EXPECT_TRUE(fs::is_empty(fallback));
  const auto again = mountDisc(WriterPaths{dir, "w"}, *info.value().disc, "emu1");
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().kind, ErrorKind::PermissionDenied);
  EXPECT_NE(again.error().message.find("belongs to another user"), std::string::npos) << again.error().message;

  // Once it is gone, a private folder of our own takes its place.
  fs::remove(fallback);
  EXPECT_TRUE(mountDisc(WriterPaths{dir, "w"}, *info.value().disc, "emu1"));
  EXPECT_EQ(modeOf(fallback), 0700u);
}

}  // namespace
}  // namespace tessaline::emulated
