// The status bar of the main window while new mail is pushed: " Online (push)"
// while the IDLE watcher waits, the usual " Online" while it cannot (server
// down, or no IDLE at all), " Offline" after going offline.
#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "MailStack.h"
#include "WaitUntil.h"
#include "WindowTestEnvironment.h"
#include "core/Providers.h"
#include "exchange/OnlineCycle.h"
#include "main/ClassMain.h"
#include "platform/Settings.h"
#include "transport/ImapIdle.h"
#include "ui/FormKestro.h"

namespace {

const auto* gEnvironment = ::testing::AddGlobalTestEnvironment(new WindowTestEnvironment("test_window_push"));

class WindowPush : public ::testing::Test {
protected:
  void SetUp() override {
    REQUIRE_MAILSTACK();
    form = std::make_unique<TFormKestro>(std::make_unique<Engine>(conf.path()));
    form->Main().SetSecondStart(true);
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  }
  void TearDown() override { form.reset(); }

  // carol over IMAP4, polled every ten minutes; goes online (a dialog that
  // opens is closed, and fails the test).
  void GoOnline(const std::function<void(TClassOptions&)>& adjust = {}) {
    TClassOptions& o = form->Main().Options();
    o.SetPop3Account(MailStack::Address("carol"));
    o.SetPop3Password(MailStack::Get().Password("carol"));
    o.SetPop3Type(1);
    o.SetPop3AccelTime(600);
    if (adjust) adjust(o);
    QTimer modals;
    QObject::connect(&modals, &QTimer::timeout, [] {
      if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        ADD_FAILURE() << dialog->windowTitle().toStdString();
        dialog->reject();
      }
    });
    modals.start(50);
    form->RunAction(form->aOnline);
    modals.stop();
    ASSERT_TRUE(form->Online());
  }
  QString Panel0() const { return form->sbPanel0->text(); }
  QString Panel1() const { return form->sbPanel1->text(); }

  QTemporaryDir conf;
  std::unique_ptr<TFormKestro> form;
};

TEST_F(WindowPush, StatusShowsPushWhileIdleWaitsAndTheUsualTextOtherwise) {
  const MailStack& s = MailStack::Get();
  GoOnline();
  ASSERT_TRUE(WaitUntil([&] { return Panel0() == " Online (push)"; }, 60000)) << Panel0();
  // The whole text fits the panel.
  EXPECT_GE(form->sbPanel0->contentsRect().width(), form->sbPanel0->fontMetrics().horizontalAdvance(Panel0()));
  EXPECT_TRUE(Panel1().contains("new mail is pushed")) << Panel1().toStdString();

  // The server goes away: the usual text until push is back.
  DovecotOutage outage{s};
  outage.Down = s.StopDovecot();
  ASSERT_TRUE(outage.Down);
  ASSERT_TRUE(WaitUntil([&] { return Panel0() == " Online"; }, 60000)) << Panel0();
  EXPECT_FALSE(Panel1().contains("pushed")) << Panel1().toStdString();
  ASSERT_TRUE(s.StartDovecot());
  outage.Down = false;
  ASSERT_TRUE(WaitUntil([&] { return Panel0() == " Online (push)"; }, 60000)) << Panel0();

  form->RunAction(form->aOffline);
  EXPECT_EQ(Panel0(), " Offline");
  QCoreApplication::processEvents();  // a late report of the ended watcher changes nothing
  EXPECT_EQ(Panel0(), " Offline");
}

TEST_F(WindowPush, AServerWithoutIdleShowsTheUsualOnlineText) {
  const MailStack& s = MailStack::Get();
  GoOnline([&](TClassOptions& o) {
    o.SetServers({s.Value("MAILSTACK_NOIDLE_HOST"), s.Value("MAILSTACK_IMAP_NOIDLE_PORT").toInt(), MailSecurity::None},
                 o.OutgoingServer());
  });
  ASSERT_NE(form->Cycle().PushWatcher(), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return form->Cycle().PushWatcher()->HasStopped(); }, 60000));
  QCoreApplication::processEvents();
  EXPECT_EQ(Panel0(), " Online");
  EXPECT_TRUE(form->PollTimer().isActive());
  form->RunAction(form->aOffline);
  EXPECT_EQ(Panel0(), " Offline");
}

}  // namespace
