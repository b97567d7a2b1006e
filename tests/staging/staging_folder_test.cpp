#include "staging/staging_folder.h"

#include "staging_test_util.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace tessaline;
using namespace tessaline::test;

TEST(StagingFolder, PrivateFreshAndNamedBySecondsSince2001) {
  TempDir dir;
  const auto before = std::chrono::system_clock::now();
  auto made = createStagingFolder(dir.path());
  ASSERT_TRUE(made.ok()) << made.error().message;
  const StagingFolder& f = made.value();
  EXPECT_EQ(f.privateRoot.parent_path(), dir.path());
  EXPECT_EQ(fs::symlink_status(f.privateRoot).permissions(), fs::perms::owner_all);
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(f.stagingPath)));
  EXPECT_EQ(f.stagingPath.parent_path(), f.privateRoot);
  EXPECT_EQ(f.imagePath, fs::path(f.stagingPath.native() + ".iso"));
  const long long expected =
      std::chrono::duration_cast<std::chrono::seconds>(before.time_since_epoch()).count() - 978307200;
  const long long name = std::stoll(f.stagingPath.filename().native());
  EXPECT_GE(name, expected);
  EXPECT_LE(name, expected + 2);

  // Two burns in the same second never share a folder.
  auto second = createStagingFolder(dir.path());
  ASSERT_TRUE(second.ok());
  EXPECT_NE(second.value().stagingPath, f.stagingPath);

  writeFile(f.imagePath, "image");
  EXPECT_TRUE(removeStagingFolder(f).ok());
  EXPECT_FALSE(fs::exists(f.stagingPath));
  EXPECT_TRUE(fs::exists(f.imagePath));
  EXPECT_TRUE(removePrivateFolder(f).ok());
  EXPECT_FALSE(fs::exists(f.privateRoot));
}

TEST(StagingFolder, UnwritableTempRootIsAClearError) {
  TempDir dir;
  fs::create_directories(dir / "locked");
  chmod((dir / "locked").c_str(), 0555);
  openUpForNobody(dir / "locked");
  EXPECT_EQ(runAsNobody([&] {
              auto made = createStagingFolder(dir / "locked");
              if (made.ok() || made.error().kind != ErrorKind::PermissionDenied) return 1;
              return made.error().message.find((dir / "locked").native()) == std::string::npos ? 3 : 0;
            }),
            0);
  EXPECT_EQ(createStagingFolder(dir / "does-not-exist").error().kind, ErrorKind::NotFound);
  writeFile(dir / "a-file", "");
  EXPECT_EQ(createStagingFolder(dir / "a-file").error().kind, ErrorKind::NotFound);  // not a folder
  // A TMPDIR that is not a folder is an error, not an exception.
  ScopedEnv tmpdir("TMPDIR", (dir / "does-not-exist").native());
  EXPECT_FALSE(createStagingFolder().ok());
}
