// What the window offers for the disc in the writer: the speeds, Burn, the
// erase question, the no-writer alert's two ways out, the update alert and
// the update check's answers, the progress sheet's layout.

#include <QAbstractButton>
#include <QDesktopServices>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include "devices/emulated/emulated_medium.h"
#include "devices/emulated/emulated_writers.h"
#include "gui_fixture.h"

namespace tessaline::test {
namespace {

class DiscControls : public GuiFixture {};

TEST_F(DiscControls, SpeedsAndBurnFollowTheDiscInTheWriter) {
  writeFile(temp_ / "old/a.txt", "a");
  addWriter("rec");
  start();
  writeFile(temp_ / "src/x.txt", "x");
  app().openFiles({temp_ / "src"});
  const struct {
    const char* medium;  // null: the tray stays empty
    bool closed;
    QList<int> speeds;
    bool canBurn;
  } steps[] = {{nullptr, false, {0}, false},
               {"cd-r", false, {0, 4, 8, 16, 24, 32, 48}, true},
               {"cd-rw", false, {0, 4, 10, 16, 24}, true},
               {"cd-r", true, {0}, false},  // closed: takes no session
               {"cd-rom", true, {0}, false}};
  const QString noDisc = controller().strings().localized("noDisc");
  const QString loading = controller().strings().localized("loadingDisc");
  auto statusText = [&] { return controller().statusController().content().deviceStatusString.value_or(QString()); };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.medium ? step.medium : "empty");
    if (controller().mediumSummary().present) {
      ASSERT_TRUE(waitUntil([&] { return window().action("ejectAction")->isEnabled(); }, std::chrono::seconds(10)));
      window().action("ejectAction")->trigger();
      ASSERT_TRUE(waitUntil([&] { return statusText() == noDisc; }, std::chrono::seconds(10)));
    }
    if (step.medium != nullptr) {
      emulated::MediumSpec spec{*emulated::mediumKindFromText(step.medium), emulated::kCd80Capacity, {}, step.closed};
      if (step.closed) spec.sessionImages = {makeImage(temp_ / "old")};
      ASSERT_TRUE(emulated::insertMedium(writersDir_, "rec", spec).ok());
      ASSERT_TRUE(waitUntil([&] { return statusText() != noDisc && statusText() != loading; }));
      ASSERT_TRUE(settle());
    }
    QList<int> offered;
    for (int i = 0; i < window().speedCombo()->count(); ++i) offered << window().speedCombo()->itemData(i).toInt();
    EXPECT_EQ(offered, step.speeds);
    EXPECT_EQ(window().burnButton()->isEnabled(), step.canBurn);
    EXPECT_EQ(window().action("burnAction")->isEnabled(), step.canBurn);
    // A chosen speed stays chosen while the disc allows it.
    if (!step.canBurn) continue;
    window().speedCombo()->setCurrentIndex(window().speedCombo()->findData(16));
    Q_EMIT controller().statusController().contentChanged();  // the status is shown again
    EXPECT_EQ(window().parts().speedMenue->selectedTag(), 16);
  }
}

TEST_F(DiscControls, TheEraseQuestionNamesDiscAndWriterCancelsByDefaultAndErases) {
  writeFile(temp_ / "disc/a.txt", "a");
  addWriter("rec", QStringLiteral("Studio Recorder"));
  insert("rec", "cd-rw", {makeImage(temp_ / "disc", "Holiday")});
  start();
  ASSERT_TRUE(waitUntil([&] { return window().titleLabel()->text() == QStringLiteral("Holiday"); }));
  window().eraseButton()->click();
  QMessageBox* box = waitForBox(QStringLiteral("attempteraseshort"));
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->parentWidget(), &window());
  EXPECT_TRUE(box->informativeText().contains(QStringLiteral("\u201cHoliday\u201d (CD-RW)")));
  EXPECT_TRUE(box->informativeText().contains(QStringLiteral("\u201cStudio Recorder\u201d")));
  QTest::keyClick(box, Qt::Key_Return);
  ASSERT_TRUE(waitUntil([&] { return findBox() == nullptr; }));
  waitUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_FALSE(shown_.wasShown(QStringLiteral("eraseProgressPanel")));

  window().eraseButton()->click();
  clickButton(waitForBox(QStringLiteral("attempteraseshort")), QStringLiteral("Erase"));
  ASSERT_TRUE(waitUntil([&] { return shown_.wasShown(QStringLiteral("eraseProgressPanel")); }));
  ASSERT_TRUE(waitUntil([&] { return window().titleLabel()->text() == QStringLiteral("untitled"); },
                        std::chrono::seconds(30)));
  EXPECT_FALSE(window().eraseButton()->isEnabled());
}

TEST_F(DiscControls, TheNoWriterAlertQuitsOrCreatesTheEmulatedWriter) {
  start(false);
  QMessageBox* box = waitForBox(QStringLiteral("noCdWriter"));
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->defaultButton()->text(), QStringLiteral("Quit"));
  box->defaultButton()->click();
  EXPECT_TRUE(waitUntil([&] { return app().terminated(); }));
  app_.reset();

  start(false);
  box = waitForBox(QStringLiteral("noCdWriter"));
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->informativeText(), controller().strings().localized("noCdWriterOfferLong"));
  clickButton(box, QStringLiteral("Create Emulated Writer"));
  ASSERT_TRUE(waitUntil([&] { return window().writerCombo()->count() == 1; }, std::chrono::seconds(10)));
  EXPECT_FALSE(app().terminated());
  EXPECT_TRUE(window().writerMenu()->menuAction()->isVisible());
}

// Takes the web pages the application opens.
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  std::vector<QUrl> opened;
 public Q_SLOTS:
  void open(const QUrl& url) { opened.push_back(url); }
};

// The version endpoint: each request gets the body, or nobody listens.
class VersionServer {
 public:
  explicit VersionServer(std::optional<QByteArray> body) {
    EXPECT_TRUE(server_.listen(QHostAddress::LocalHost, 0));
    endpoint_.emplace("TESSALINE_UPDATE_URL", "http://127.0.0.1:" + std::to_string(server_.serverPort()) + "/v");
    if (!body) server_.close();
    QObject::connect(&server_, &QTcpServer::newConnection, [this, b = body.value_or("")] {
      QTcpSocket* s = server_.nextPendingConnection();
      QObject::connect(s, &QTcpSocket::readyRead, s, [s, b] {
        if (!s->readAll().contains("\r\n\r\n")) return;
        s->write("HTTP/1.0 200 OK\r\n\r\n" + b);
        s->disconnectFromHost();
      });
    });
  }

 private:
  QTcpServer server_;
  std::optional<ScopedEnv> endpoint_;
};

TEST_F(DiscControls, TheUpdateAlertAtStartUpOpensTheWebPageOnDownloadAndTheMenuCheckAnswers) {
  UrlCatcher catcher;
  QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
  ScopedEnv site("TESSALINE_WEBSITE_URL", "http://127.0.0.1:9/tessaline/");
  VersionServer server(QByteArray("253\n"));
  addWriter("rec");
  prefs().setValue(prefs::disableUpdateCheck, false);
  const QUrl page(QStringLiteral("http://127.0.0.1:9/tessaline/"));
  for (const auto& [button, opened] : {std::pair{"OK", std::vector<QUrl>{}}, std::pair{"Download", std::vector<QUrl>{page}}}) {
    SCOPED_TRACE(button);
    app_.reset();
    start(false);
    QMessageBox* box = waitForBox(QStringLiteral("update"));
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->informativeText(), controller().strings().localized("updateLong"));
    clickButton(box, QString::fromLatin1(button));
    ASSERT_TRUE(waitUntil([&] { return findBox() == nullptr; }));
    waitUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(catcher.opened, opened);
  }
  QDesktopServices::unsetUrlHandler(QStringLiteral("http"));

  // Turned off, the start-up check asks nothing; asked for, the check tells
  // an up-to-date release from a failed check.
  prefs().setValue(prefs::disableUpdateCheck, true);
  app_.reset();
  start(false);
  for (const auto& [body, boxName] : {std::pair{std::optional<QByteArray>("252\n"), "upToDate"},
                                      std::pair{std::optional<QByteArray>(), "updateCheckFailed"},
                                      std::pair{std::optional<QByteArray>("<html>portal</html>"), "updateCheckFailed"}}) {
    VersionServer server(body);
    window().action("updateAction")->trigger();
    QMessageBox* box = nullptr;
    ASSERT_TRUE(waitUntil([&] { return (box = window().findChild<QMessageBox*>(QString::fromLatin1(boxName))); },
                          std::chrono::seconds(15)))
        << boxName;
    delete box;
  }
  EXPECT_EQ(findBox(QStringLiteral("update")), nullptr);
}

// A job that has failed with a long reason: only the panel's layout is
// under test, at whatever scale the display has.
class FailedJob : public Job {
 public:
  JobStatus status() const override {
    return {JobPhase::Failed, 0.0,
            Error{ErrorKind::MediumNotWritable,
                  "The drive refused to write block 181234: Medium error. Write error. The disc may be damaged or "
                  "dirty; earlier sessions stay readable, and the next burn starts after this one."}};
  }
  void cancel() override {}
};

TEST_F(DiscControls, TheProgressSheetHasAFixedSizeAndShowsAllOfALongReason) {
  addWriter("rec");
  start(false);
  FailedJob job;
  window().progressPanels().beginBurnProgress(job, QStringLiteral("Burning the session"));
  auto* panel = window().findChild<gui::JobProgressDialog*>(QStringLiteral("burnProgressPanel"));
  ASSERT_NE(panel, nullptr);
  Q_EMIT job.finished();
  auto* reason = panel->findChild<QLabel*>(QStringLiteral("error"));
  ASSERT_TRUE(waitUntil([&] { return reason->isVisible(); }));
  EXPECT_EQ(panel->minimumSize(), panel->maximumSize());  // not resizable
  for (QWidget* child : panel->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    if (child->isVisible()) EXPECT_TRUE(panel->rect().contains(child->geometry())) << child->metaObject()->className();
  EXPECT_GE(reason->height(), reason->heightForWidth(reason->width()));
  panel->close();
}

}  // namespace
}  // namespace tessaline::test

#include "disc_controls_test.moc"
