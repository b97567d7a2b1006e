#include "support/controller_fixture.h"

#include "devices/emulated/emulated_medium.h"
#include "devices/emulated/emulated_writers.h"

namespace tessaline::test {

ControllerFixture::ControllerFixture() {
  writersDir_ = temp_ / "writers";
  fs::create_directories(writersDir_);
  fs::create_directories(temp_ / "runtime");
  fs::create_directories(temp_ / "cache");
  prefsFile_ = temp_ / "prefs.conf";
  writersEnv_ = std::make_unique<ScopedEnv>("TESSALINE_WRITERS_DIR", writersDir_.string());
  runtimeEnv_ = std::make_unique<ScopedEnv>("XDG_RUNTIME_DIR", (temp_ / "runtime").string());
  cacheEnv_ = std::make_unique<ScopedEnv>("XDG_CACHE_HOME", (temp_ / "cache").string());
  mountWaitEnv_ = std::make_unique<ScopedEnv>("TESSALINE_MOUNT_WAIT_S", "5");
}

ControllerFixture::~ControllerFixture() {
  controller_.reset();
  service_.reset();
}

void ControllerFixture::addWriter(const std::string& name, const QString& displayName) {
  auto status = emulated::createWriter(writersDir_, name, displayName);
  ASSERT_TRUE(status.ok()) << status.error().message;
}

void ControllerFixture::insert(const std::string& writer, const std::string& medium,
                               const std::vector<fs::path>& sessions, bool closed) {
  emulated::MediumSpec spec;
  const auto kind = emulated::mediumKindFromText(medium);
  ASSERT_TRUE(kind.has_value()) << medium;
  spec.kind = *kind;
  spec.sessionImages = sessions;
  spec.closed = closed;
  auto status = emulated::insertMedium(writersDir_, writer, spec);
  ASSERT_TRUE(status.ok()) << status.error().message;
}

fs::path ControllerFixture::makeImage(const fs::path& folder, const std::string& volume) {
  static int counter = 0;
  const fs::path image = temp_ / ("image" + std::to_string(++counter) + ".iso");
  const auto result = runProgram("genisoimage", {"-quiet", "-r", "-J", "-V", volume, "-o", image.string(), folder.string()});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  return image;
}

void ControllerFixture::start() {
  service_ = std::make_unique<emulated::EmulatedService>(writersDir_);
  appController::initialize(transformers_);
  controller_ = std::make_unique<appController>(*service_, transformers_, prefs(), StringTable::builtIn());
  controller_->connectOutlets(window_.parts());
  QObject::connect(controller_.get(), &appController::statusSettled, [this] { ++settledCount_; });
  controller_->awakeFromNib();
  prefs().setValue(prefs::disableUpdateCheck, true);
  controller_->applicationDidFinishLaunching();
}

bool ControllerFixture::settle() {
  const QString loading = controller_->strings().localized("loadingDisc");
  auto settled = [&] {
    const auto& text = status().deviceStatusString;
    return settledCount_ > 0 && !controller_->waitingForVolume() && text && *text != loading;
  };
  if (!waitUntil(settled, std::chrono::seconds(30))) return false;
  const int seen = settledCount_;
  waitUntil([] { return false; }, std::chrono::milliseconds(200));
  return settledCount_ == seen || waitUntil(settled, std::chrono::seconds(30));
}

std::optional<BurnOutcome> ControllerFixture::burnAndWait(int timeoutMs) {
  std::optional<BurnOutcome> outcome;
  auto connection = QObject::connect(controller_.get(), &appController::burnFinished,
                                     [&](const BurnOutcome& o) { outcome = o; });
  const auto alertsBefore = window_.alerts.size();
  controller_->attemptBurn();
  waitUntil([&] { return outcome.has_value() || (window_.alerts.size() > alertsBefore && !controller_->burnInProgress() && window_.alerts.back().request.buttonKeys.size() == 1); },
            std::chrono::milliseconds(timeoutMs));
  QObject::disconnect(connection);
  return outcome;
}

std::vector<std::string> ControllerFixture::listNames() {
  std::vector<std::string> names;
  for (const auto& item : controller_->sessionContentController().items()) names.push_back(item.aPathComponent);
  return names;
}

}  // namespace tessaline::test
