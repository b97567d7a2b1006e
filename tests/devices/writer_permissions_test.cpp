// Other local users and the emulated writer: a disc (its medium, its table
// of contents, its mounted tree) is readable by its owner only, writers made
// by earlier versions are closed when opened, and a mount folder another
// user has taken is never used. Tests run as root; the other user is nobody.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "devices/emulated/emulated_medium.h"
#include "devices/emulated/emulated_mount.h"
#include "devices/emulated/emulated_service.h"
#include "devices/emulated/emulated_writers.h"
#include "support/test_support.h"

namespace tessaline::emulated {
namespace {

// An open CD-R holding the image as its one session.
MediumSpec openCdr(const fs::path& image) { return MediumSpec{MediumKind::CDR, kCd80Capacity, {image}, false, std::nullopt}; }

using test::TempDir;

unsigned modeOf(const fs::path& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFF;
}

bool nobodyCanOpen(const fs::path& p) {
  return test::runAsNobody([&] {
           const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
           if (fd >= 0) ::close(fd);
           return fd >= 0 ? 1 : 0;
         }) == 1;
}

TEST(WriterPermissions, OnlyTheOwnerReadsADiscAndOlderWritersAreClosedWhenOpened) {
  TempDir tmp;
  test::ScopedEnv runtime("XDG_RUNTIME_DIR", (tmp / "run").string());
  fs::create_directories(tmp / "run");
  const fs::path dir = tmp / "writers";
  test::writeFile(tmp / "tree/secret.txt", "only mine");
  ASSERT_EQ(::chmod((tmp / "tree/secret.txt").c_str(), 0600), 0);
  const auto iso = test::runProgram("genisoimage", {"-quiet", "-r", "-V", "SECRET", "-o", (tmp / "s.iso").string(),
                                                    (tmp / "tree").string()});
  ASSERT_EQ(iso.exitCode, 0) << iso.err;
  ASSERT_TRUE(createWriter(dir, "w", {}));
  ASSERT_TRUE(insertMedium(dir, "w", openCdr(tmp / "s.iso")));
  const WriterPaths paths{dir, "w"};
  const fs::path mounted = writerMountDir("w") / "SECRET";
  ASSERT_TRUE(fs::exists(mounted / "secret.txt"));
  test::openUpForNobody(tmp.path());

  const std::vector<std::pair<fs::path, unsigned>> cases{
      {paths.dir(), 0700}, {paths.identityFile(), 0600}, {paths.tocFile(), 0600}, {paths.mediumFile(), 0600},
      {paths.mountTable(), 0600}, {paths.exclusiveLock(), 0600}, {paths.mountLock(), 0600},
      {tmp / "run/tessaline", 0700}, {mountBaseDir(), 0700}, {writerMountDir("w"), 0700}};
  auto check = [&](const std::string& when) {
    for (const auto& [path, mode] : cases) {
      SCOPED_TRACE(when + ": " + path.string());
      EXPECT_EQ(modeOf(path), mode);
      EXPECT_FALSE(nobodyCanOpen(path));
    }
    EXPECT_FALSE(nobodyCanOpen(mounted / "secret.txt"));
  };
  check("made now");

  // A writer as earlier versions left it, open to everybody: closed, with its
  // mount folders, as soon as the service or a command opens it.
  auto openUp = [&] {
    ::chmod(dir.c_str(), 0755);
    for (const auto& [path, mode] : cases) ::chmod(path.c_str(), mode == 0700 ? 0755 : 0644);
    ASSERT_TRUE(nobodyCanOpen(paths.mediumFile()));
  };
  openUp();
  { EmulatedService service(dir); }
  check("opened by the service");
  openUp();
  ASSERT_TRUE(writerInfo(dir, "w"));
  check("opened by a command");
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
  ASSERT_EQ(test::runProgram("genisoimage", {"-quiet", "-r", "-o", (tmp / "a.iso").string(), (tmp / "tree").string()})
                .exitCode,
            0);
  ASSERT_TRUE(createWriter(dir, "w", {}));
  ASSERT_TRUE(insertMedium(dir, "w", openCdr(tmp / "a.iso")));
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
