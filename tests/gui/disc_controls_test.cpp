// What the window offers for the disc in the writer: the speeds, Burn, the
// erase question, the no-writer alert's way out, the update check's answer
// and the Help menu.

#include <QAbstractButton>
#include <QComboBox>
#include <QMenuBar>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include "devices/emulated/emulated_medium.h"
#include "devices/emulated/emulated_writers.h"
#include "gui_fixture.h"

namespace tessaline::test {
namespace {

class DiscControls : public GuiFixture {
 protected:
  QList<int> offeredSpeeds() {
    QList<int> tags;
    for (int i = 0; i < window().speedCombo()->count(); ++i) tags << window().speedCombo()->itemData(i).toInt();
    return tags;
  }
};

TEST_F(DiscControls, SpeedsAndBurnFollowTheDiscInTheWriter) {
  writeFile(temp_ / "old/a.txt", "a");
  addWriter("rec");
  start();
  writeFile(temp_ / "src/x.txt", "x");
  app().openFiles({temp_ / "src"});
  struct Step {
    const char* medium;  // what goes in; null: the tray stays empty
    bool closed;
    QList<int> speeds;
    bool canBurn;
  };
  const Step steps[] = {
      {nullptr, false, {0}, false},
      {"cd-r", false, {0, 4, 8, 16, 24, 32, 48}, true},
      {"cd-rw", false, {0, 4, 10, 16, 24}, true},
      {"cd-r", true, {0}, false},  // closed: takes no session
      {"cd-rom", true, {0}, false},
  };
  const QString noDisc = controller().strings().localized("noDisc");
  const QString loading = controller().strings().localized("loadingDisc");
  auto statusText = [&] { return controller().statusController().content().deviceStatusString.value_or(QString()); };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.medium ? step.medium : "empty");
    if (controller().mediumSummary().present) {
      ASSERT_TRUE(waitUntil([&] { return window().action("ejectAction")->isEnabled(); }, std::chrono::seconds(10)));
      window().action("ejectAction")->trigger();
      ASSERT_TRUE(waitUntil([&] { return statusText() == noDisc; }, std::chrono::seconds(10)));
    }
    if (step.medium != nullptr) {
      emulated::MediumSpec spec;
      spec.kind = *emulated::mediumKindFromText(step.medium);
      if (step.closed) spec.sessionImages = {makeImage(temp_ / "old")};
      spec.closed = step.closed;
      ASSERT_TRUE(emulated::insertMedium(writersDir_, "rec", spec).ok());
      ASSERT_TRUE(waitUntil([&] { return statusText() != noDisc && statusText() != loading; },
                            std::chrono::seconds(10)));
      ASSERT_TRUE(settle());
    }
    EXPECT_EQ(offeredSpeeds(), step.speeds);
    EXPECT_EQ(window().burnButton()->isEnabled(), step.canBurn);
    EXPECT_EQ(window().action("burnAction")->isEnabled(), step.canBurn);
  }
  // A chosen speed stays chosen while the disc allows it; a tray without a
  // disc offers only the fastest, and the choice falls back to it.
  ASSERT_TRUE(waitUntil([&] { return window().action("ejectAction")->isEnabled(); }, std::chrono::seconds(10)));
  window().action("ejectAction")->trigger();
  ASSERT_TRUE(waitUntil([&] { return window().action("insertCDRWAction")->isEnabled(); }, std::chrono::seconds(10)));
  window().action("insertCDRWAction")->trigger();
  ASSERT_TRUE(waitUntil([&] { return offeredSpeeds().size() == 5; }, std::chrono::seconds(10)));
  window().speedCombo()->setCurrentIndex(window().speedCombo()->findData(16));
  writeFile(temp_ / "more/y.txt", "y");
  app().openFiles({temp_ / "more"});  // the status is shown again
  EXPECT_EQ(window().parts().speedMenue->selectedTag(), 16);
  ASSERT_TRUE(waitUntil([&] { return window().action("ejectAction")->isEnabled(); }, std::chrono::seconds(10)));
  window().action("ejectAction")->trigger();
  ASSERT_TRUE(waitUntil([&] { return offeredSpeeds().size() == 1; }, std::chrono::seconds(10)));
  ASSERT_TRUE(waitUntil([&] { return window().action("insertCDRAction")->isEnabled(); }, std::chrono::seconds(10)));
  window().action("insertCDRAction")->trigger();
  ASSERT_TRUE(waitUntil([&] { return offeredSpeeds().size() == 7; }, std::chrono::seconds(10)));
  EXPECT_EQ(window().parts().speedMenue->selectedTag(), 0);
}

TEST_F(DiscControls, TheEraseQuestionNamesDiscAndWriterAndDefaultsToCancel) {
  writeFile(temp_ / "disc/a.txt", "a");
  addWriter("rec", QStringLiteral("Studio Recorder"));
  insert("rec", "cd-rw", {makeImage(temp_ / "disc", "Holiday")});
  start();
  ASSERT_TRUE(waitUntil([&] { return window().titleLabel()->text() == QStringLiteral("Holiday"); }));
  window().eraseButton()->click();
  QMessageBox* box = waitForBox(QStringLiteral("attempteraseshort"));
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(box->informativeText().contains(QStringLiteral("\u201cHoliday\u201d (CD-RW)")));
  EXPECT_TRUE(box->informativeText().contains(QStringLiteral("\u201cStudio Recorder\u201d")));
  ASSERT_NE(box->defaultButton(), nullptr);
  EXPECT_EQ(box->defaultButton()->text(), QStringLiteral("Cancel"));
  QTest::keyClick(box, Qt::Key_Return);
  ASSERT_TRUE(waitUntil([&] { return findBox() == nullptr; }));
  waitUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(window().findChild<QDialog*>(QStringLiteral("eraseProgressPanel")), nullptr);
  EXPECT_FALSE(shown_.wasShown(QStringLiteral("eraseProgressPanel")));
}

TEST_F(DiscControls, TheNoWriterAlertCreatesTheEmulatedWriter) {
  start(false);
  QMessageBox* box = waitForBox(QStringLiteral("noCdWriter"));
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->informativeText(), controller().strings().localized("noCdWriterOfferLong"));
  clickButton(box, QStringLiteral("Create Emulated Writer"));
  ASSERT_TRUE(waitUntil([&] { return window().writerCombo()->count() == 1; }, std::chrono::seconds(10)));
  EXPECT_FALSE(app().terminated());
  EXPECT_TRUE(window().writerMenu()->menuAction()->isVisible());
  window().action("insertCDRAction")->trigger();
  EXPECT_TRUE(waitUntil([&] { return window().titleLabel()->text() == QStringLiteral("untitled"); },
                        std::chrono::seconds(10)));
}

// The version endpoint on the loopback: answers every request with the body,
// or refuses connections when there is none.
class VersionServer {
 public:
  explicit VersionServer(std::optional<QByteArray> body) {
    EXPECT_TRUE(server_.listen(QHostAddress::LocalHost, 0));
    port_ = server_.serverPort();
    if (!body) {
      server_.close();  // nothing listens: the check fails
      return;
    }
    QObject::connect(&server_, &QTcpServer::newConnection, [this, b = *body] {
      QTcpSocket* s = server_.nextPendingConnection();
      QObject::connect(s, &QTcpSocket::readyRead, s, [s, b] {
        if (!s->readAll().contains("\r\n\r\n")) return;
        s->write("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + b);
        s->disconnectFromHost();
      });
    });
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/version"; }

 private:
  QTcpServer server_;
  quint16 port_ = 0;
};

TEST_F(DiscControls, CheckForUpdatesTellsUpToDateFromAFailedCheck) {
  addWriter("rec");
  start(false);
  struct Case {
    std::optional<QByteArray> body;
    const char* box;
  };
  for (const Case& c : {Case{QByteArray("252\n"), "upToDate"}, Case{std::nullopt, "updateCheckFailed"},
                        Case{QByteArray("<html>portal</html>"), "updateCheckFailed"}}) {
    SCOPED_TRACE(c.box);
    VersionServer server(c.body);
    ScopedEnv endpoint("TESSALINE_UPDATE_URL", server.url());
    window().action("updateAction")->trigger();
    QMessageBox* box = nullptr;
    ASSERT_TRUE(waitUntil([&] {
      box = window().findChild<QMessageBox*>(QString::fromLatin1(c.box));
      return box != nullptr && box->isVisible();
    }, std::chrono::seconds(15)));
    box->accept();
    ASSERT_TRUE(waitUntil([&] { return window().findChild<QMessageBox*>(QString::fromLatin1(c.box)) == nullptr; }));
  }
}

TEST_F(DiscControls, HelpAndEditMenusHoldAboutTheHowToAndThePreferences) {
  addWriter("rec");
  start(false);
  auto menuOf = [&](const char* action) {
    for (QAction* m : window().menuBar()->actions())
      if (m->menu() != nullptr && m->menu()->actions().contains(window().action(action))) return m->text();
    return QString();
  };
  EXPECT_EQ(menuOf("preferencesAction"), QStringLiteral("&Edit"));
  for (const char* action : {"aboutAction", "howItWorksAction", "updateAction", "websiteAction"})
    EXPECT_EQ(menuOf(action), QStringLiteral("&Help")) << action;
  const struct {
    const char* action;
    const char* box;
    const char* says;
  } pages[] = {{"aboutAction", "aboutBox", "Release 252"}, {"howItWorksAction", "howItWorks", "a session only adds"}};
  for (const auto& page : pages) {
    window().action(page.action)->trigger();
    auto* box = window().findChild<QMessageBox*>(QString::fromLatin1(page.box));
    ASSERT_NE(box, nullptr) << page.box;
    EXPECT_TRUE(box->informativeText().contains(QString::fromLatin1(page.says))) << page.box;
    box->accept();
  }
}

// A job that has already failed with a long reason: only the panel's
// layout is under test here, at whatever scale the display has.
class FailedJob : public Job {
 public:
  JobStatus status() const override {
    JobStatus s;
    s.phase = JobPhase::Failed;
    s.error = Error{ErrorKind::MediumNotWritable,
                    "The drive refused to write block 181234: Medium error. Write error. The disc may be damaged or "
                    "dirty; earlier sessions stay readable, and the next burn starts after this one."};
    return s;
  }
  void cancel() override {}
};

TEST_F(DiscControls, TheProgressSheetHasAFixedSizeAndShowsAllOfALongReason) {
  addWriter("rec");
  insert("rec", "cd-r");
  start();
  window().show();
  FailedJob job;
  window().progressPanels().beginBurnProgress(job, QStringLiteral("Burning the session"));
  auto* panel = window().findChild<gui::JobProgressDialog*>(QStringLiteral("burnProgressPanel"));
  ASSERT_NE(panel, nullptr);
  Q_EMIT job.finished();
  auto* reason = panel->findChild<QLabel*>(QStringLiteral("error"));
  ASSERT_TRUE(waitUntil([&] { return reason->isVisible() && panel->isVisible(); }));
  waitUntil([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_EQ(panel->minimumSize(), panel->maximumSize());  // not resizable
  for (QWidget* child : panel->findChildren<QWidget*>()) {
    if (!child->isVisible() || child->parentWidget() != panel) continue;
    EXPECT_TRUE(panel->rect().contains(child->geometry())) << child->metaObject()->className();
  }
  EXPECT_GE(reason->height(), reason->heightForWidth(reason->width()));
  panel->close();
}

}  // namespace
}  // namespace tessaline::test
