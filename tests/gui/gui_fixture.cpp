#include "gui_fixture.h"

#include "devices/emulated/emulated_medium.h"
#include "devices/emulated/emulated_writers.h"

namespace tessaline::test {

ShowRecorder::ShowRecorder() { QCoreApplication::instance()->installEventFilter(this); }
ShowRecorder::~ShowRecorder() { QCoreApplication::instance()->removeEventFilter(this); }

bool ShowRecorder::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Show && watched->isWidgetType() && !watched->objectName().isEmpty()) shown_ << watched->objectName();
  return false;
}

GuiFixture::GuiFixture() {
  writersDir_ = temp_ / "writers";
  prefsFile_ = temp_ / "prefs.conf";
  for (const auto& [name, dir] : {std::pair{"TESSALINE_WRITERS_DIR", "writers"}, {"XDG_RUNTIME_DIR", "runtime"},
                                  {"XDG_CACHE_HOME", "cache"}, {"XDG_CONFIG_HOME", "config"}, {"TMPDIR", "tmp"}}) {
    fs::create_directories(temp_ / dir);
    env_.push_back(std::make_unique<ScopedEnv>(name, (temp_ / dir).string()));
  }
  fs::permissions(temp_ / "runtime", fs::perms::owner_all);  // as a runtime folder must be
  env_.push_back(std::make_unique<ScopedEnv>("TESSALINE_NO_REAL_DRIVES", "1"));
  env_.push_back(std::make_unique<ScopedEnv>("TESSALINE_MOUNT_WAIT_S", "5"));
  prefs().setValue(prefs::disableUpdateCheck, true);
}

GuiFixture::~GuiFixture() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (qobject_cast<QMessageBox*>(w) != nullptr) delete w;
  app_.reset();
  QCoreApplication::processEvents();
}

void GuiFixture::addWriter(const std::string& name, const QString& displayName) {
  auto status = emulated::createWriter(writersDir_, name, displayName);
  ASSERT_TRUE(status.ok()) << status.error().message;
}

void GuiFixture::insert(const std::string& writer, const std::string& medium, const std::vector<fs::path>& sessions) {
  const auto kind = emulated::mediumKindFromText(medium);
  ASSERT_TRUE(kind.has_value()) << medium;
  auto status = emulated::insertMedium(writersDir_, writer, {*kind, emulated::kCd80Capacity, sessions, false});
  ASSERT_TRUE(status.ok()) << status.error().message;
}

fs::path GuiFixture::makeImage(const fs::path& folder, const std::string& volume) {
  static int counter = 0;
  const fs::path image = temp_ / ("image" + std::to_string(++counter) + ".iso");
  const auto result =
      runProgram("genisoimage", {"-quiet", "-r", "-J", "-V", volume, "-o", image.string(), folder.string()});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  return image;
}

void GuiFixture::start(bool waitForStatus) {
  gui::DesktopOptions options;
  options.preferencesFile = QString::fromStdString(prefsFile_.string());
  options.quitOnTerminate = false;
  app_ = std::make_unique<gui::DesktopApp>(options);
  QObject::connect(&app_->controller(), &appController::statusSettled, [this] { ++settledCount_; });
  QObject::connect(&app_->controller(), &appController::burnFinished, [this](const BurnOutcome& o) { outcome_ = o; });
  app_->start();
  if (waitForStatus) {
    ASSERT_TRUE(settle());
  }
}

bool GuiFixture::settle() {
  const QString loading = controller().strings().localized("loadingDisc");
  auto settled = [&] {
    const auto& text = controller().statusController().content().deviceStatusString;
    return settledCount_ > 0 && !controller().waitingForVolume() && text && *text != loading;
  };
  if (!waitUntil(settled, std::chrono::seconds(30))) return false;
  const int seen = settledCount_;
  waitUntil([] { return false; }, std::chrono::milliseconds(300));
  return settledCount_ == seen || waitUntil(settled, std::chrono::seconds(30));
}

std::vector<std::string> GuiFixture::listNames() {
  std::vector<std::string> names;
  for (const auto& item : controller().sessionContentController().items()) names.push_back(item.aPathComponent);
  return names;
}

QMessageBox* GuiFixture::findBox(const QString& messageKey) {
  const QString text = messageKey.isEmpty() ? QString() : controller().strings().localized(messageKey);
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible() && (text.isEmpty() || box->text() == text))
      return box;
  return nullptr;
}

QMessageBox* GuiFixture::waitForBox(const QString& messageKey) {
  QMessageBox* box = nullptr;
  waitUntil([&] { return (box = findBox(messageKey)) != nullptr; });
  return box;
}

void GuiFixture::clickButton(QMessageBox* box, const QString& title) {
  ASSERT_NE(box, nullptr);
  for (QAbstractButton* button : box->buttons())
    if (button->text() == title) return button->click();
  FAIL() << "no button " << title.toStdString();
}

}  // namespace tessaline::test
