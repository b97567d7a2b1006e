#include "gui_fixture.h"

namespace tessaline::test {

ShowRecorder::ShowRecorder() { QCoreApplication::instance()->installEventFilter(this); }
ShowRecorder::~ShowRecorder() { QCoreApplication::instance()->removeEventFilter(this); }

bool ShowRecorder::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Show && watched->isWidgetType() && !watched->objectName().isEmpty()) shown_ << watched->objectName();
  return false;
}

GuiFixture::~GuiFixture() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (qobject_cast<QMessageBox*>(w) != nullptr) delete w;
  app_.reset();
  QCoreApplication::processEvents();
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

QMessageBox* GuiFixture::namedBox(const char* objectName) {
  QMessageBox* box = nullptr;
  const bool shown =
      waitUntil([&] { return (box = window().findChild<QMessageBox*>(QString::fromLatin1(objectName))) && box->isVisible(); });
  return shown ? box : nullptr;  // a box made but never shown is no box to the user
}

void GuiFixture::clickButton(QMessageBox* box, const QString& title) {
  ASSERT_NE(box, nullptr);
  for (QAbstractButton* button : box->buttons())
    if (button->text() == title) return button->click();
  FAIL() << "no button " << title.toStdString();
}

}  // namespace tessaline::test
