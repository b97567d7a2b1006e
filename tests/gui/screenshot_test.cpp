// Makes the README's screenshot (a disc of two sessions, sources waiting). Not part
// of the test run: scripts/check-window-layout --screenshot runs it under Xvfb.

#include <QImage>
#include <QPixmap>

#include <cstdlib>

#include "gui_fixture.h"

namespace tessaline::test {
namespace {

using Screenshot = GuiFixture;

TEST_F(Screenshot, DISABLED_MainWindowWithADiscAndSources) {
  const char* out = std::getenv("TESSALINE_SCREENSHOT");
  ASSERT_NE(out, nullptr);
  const fs::path home = temp_ / "home";
  ScopedEnv homeEnv("HOME", home.string());  // the Where column shows it as ~
  for (int i = 1; i <= 12; ++i) writeFile(home / "Documents" / ("letter-" + std::to_string(i) + ".txt"),
                                          std::string(static_cast<std::size_t>(40'000 * i), 'd'));
  for (int i = 1; i <= 8; ++i) writeFile(home / "Photos" / ("IMG_00" + std::to_string(i) + ".jpg"),
                                         std::string(900'000, 'p'));
  writeFile(home / "Projects/tessaline/README", std::string(3'000, 'r'));
  writeFile(home / "Projects/website/index.html", std::string(24'000, 'w'));
  addWriter("recorder");
  insert("recorder", "cd-r");
  ASSERT_EQ(runCli({"burn", "--yes", "--volume", "Backup", (home / "Documents").string(), (home / "Photos").string()}).exitCode, 0);
  ASSERT_EQ(runCli({"burn", "--yes", (home / "Projects").string()}).exitCode, 0);
  start();
  window().resize(640, 500);
  window().show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window()));
  // Changes since: a new letter, new music, and a loose file.
  writeFile(home / "Documents/letter-13.txt", std::string(260'000, 'n'));
  for (int i = 1; i <= 5; ++i) writeFile(home / "Music" / ("track-0" + std::to_string(i) + ".flac"),
                                         std::string(4'200'000, 'm'));
  writeFile(home / "notes.txt", std::string(5'200, 't'));
  app().openFiles({home / "Documents", home / "Music", home / "notes.txt"});
  window().tableView()->selectRow(static_cast<int>(listNames().size()) - 2);
  window().activateWindow();
  waitUntil([] { return false; }, std::chrono::milliseconds(400));
  ASSERT_TRUE(window().grab().save(QString::fromLocal8Bit(out)));
}

}  // namespace
}  // namespace tessaline::test
