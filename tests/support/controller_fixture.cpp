#include "support/controller_fixture.h"

#include "devices/default_service.h"
#include "devices/emulated/emulated_medium.h"
#include "devices/emulated/emulated_writers.h"

namespace tessaline::test {

WritersFixture::WritersFixture() {
  fs::permissions(temp_ / "runtime", fs::perms::owner_all);  // as a runtime folder must be
}

void WritersFixture::addWriter(const std::string& name, const QString& displayName) {
  auto status = emulated::createWriter(writersDir_, name, displayName);
  ASSERT_TRUE(status.ok()) << status.error().message;
}

void WritersFixture::insert(const std::string& writer, const std::string& medium,
                            const std::vector<fs::path>& sessions, bool closed) {
  const auto kind = emulated::mediumKindFromText(medium);
  ASSERT_TRUE(kind.has_value()) << medium;
  auto status = emulated::insertMedium(writersDir_, writer, {*kind, emulated::kCd80Capacity, sessions, closed});
  ASSERT_TRUE(status.ok()) << status.error().message;
}

fs::path WritersFixture::makeImage(const fs::path& folder, const std::string& volume) {
  static int counter = 0;
  const fs::path image = temp_ / ("image" + std::to_string(++counter) + ".iso");
  const auto result = runProgram("genisoimage", {"-quiet", "-r", "-J", "-V", volume, "-o", image.string(), folder.string()});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  return image;
}

ScopedEnv WritersFixture::gateImaging() {
  writeFile(temp_ / "bin/mkisofs", "#!/bin/sh\n[ \"$1\" = -version ] || { : > " + (temp_ / "imaging").string() +
                                       "; while [ ! -e " + (temp_ / "gate").string() +
                                       " ]; do sleep 0.05; done; }\nexec xorrisofs \"$@\"\n");
  fs::permissions(temp_ / "bin/mkisofs", fs::perms::owner_all);
  return ScopedEnv("TESSALINE_MKISOFS", (temp_ / "bin/mkisofs").string());
}

bool WritersFixture::settle() {
  const QString loading = controller().strings().localized("loadingDisc");
  auto settled = [&] {
    const auto& text = status().deviceStatusString;
    return settledCount_ > 0 && !controller().waitingForVolume() && text && *text != loading;
  };
  if (!waitUntil(settled, std::chrono::seconds(30))) return false;
  const int seen = settledCount_;
  waitUntil([] { return false; }, std::chrono::milliseconds(300));
  return settledCount_ == seen || waitUntil(settled, std::chrono::seconds(30));
}

std::vector<std::string> WritersFixture::listNames() {
  std::vector<std::string> names;
  for (const auto& item : controller().sessionContentController().items()) names.push_back(item.aPathComponent);
  return names;
}

ControllerFixture::~ControllerFixture() {
  controller_.reset();
  service_.reset();
}

void ControllerFixture::start() {
  service_ = createDefaultService();
  appController::initialize(transformers_);
  controller_ = std::make_unique<appController>(*service_, transformers_, prefs(), StringTable::builtIn());
  controller_->connectOutlets(window_.parts());
  QObject::connect(controller_.get(), &appController::statusSettled, [this] { ++settledCount_; });
  controller_->awakeFromNib();
  prefs().setValue(prefs::disableUpdateCheck, true);
  controller_->applicationDidFinishLaunching();
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

}  // namespace tessaline::test
