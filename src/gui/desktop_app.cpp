#include "gui/desktop_app.h"

#include <QApplication>
#include <QGuiApplication>
#include <QTimer>

#include "devices/default_service.h"
#include "gui/main_window.h"

// The images live in this static library: register them before first use.
static void initGuiResources() { Q_INIT_RESOURCE(gui); }

namespace tessaline::gui {

DesktopApp::DesktopApp(DesktopOptions options) : options_(std::move(options)), service_(createDefaultService()) {
  initGuiResources();
  appController::initialize(transformers_);
  Preferences preferences = options_.preferencesFile ? Preferences(*options_.preferencesFile) : Preferences();
  controller_ = std::make_unique<appController>(*service_, transformers_, std::move(preferences));
  controller_->setOffersEmulatedWriter(true);
  window_ = std::make_unique<TessalineWindow>(*controller_, *this);
  controller_->connectOutlets(window_->parts());
}

DesktopApp::~DesktopApp() {
  // The window's parts go before the controller that points at them.
  if (controller_) controller_->connectOutlets(WindowParts{});
  window_.reset();
  controller_.reset();
}

void DesktopApp::start(const std::vector<std::filesystem::path>& files) {
  controller_->awakeFromNib();
  window_->show();
  if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance())) {
    app->setQuitOnLastWindowClosed(controller_->applicationShouldTerminateAfterLastWindowClosed());
    connect(app, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
      if (state == Qt::ApplicationActive) controller_->applicationDidBecomeActive();
    });
    // However the application ends, the window's frame is kept.
    connect(app, &QCoreApplication::aboutToQuit, this, [this] {
      if (window_) window_->saveFrame();
    });
  }
  controller_->applicationDidFinishLaunching();
  if (!files.empty()) QTimer::singleShot(0, this, [this, files] { openFiles(files); });
}

void DesktopApp::openFiles(const std::vector<std::filesystem::path>& files) {
  // A minimised window comes back too: raising alone leaves it in the task bar.
  window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
  window_->show();
  window_->raise();
  window_->activateWindow();
  if (!files.empty()) controller_->openFiles(files);
}

void DesktopApp::terminate() {
  terminated_ = true;
  Q_EMIT terminateRequested();
  if (options_.quitOnTerminate)
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
}

}  // namespace tessaline::gui
