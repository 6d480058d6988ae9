// QtHost: the Host's queue and timers riding on Qt's event loop, and the operator's
// side routed to the main window or answered automatically.
#include "gui/qt_host.h"

#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <future>
#include <thread>

#include "gui_test_main.h"

namespace zarnik {
namespace {

class Recorder : public MessageTarget {
 public:
  intptr_t HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t) override {
    handled.push_back(msg);
    onWindowThread = onWindowThread && std::this_thread::get_id() == windowThread;
    return static_cast<intptr_t>(wParam) * 2;
  }
  std::vector<uint32_t> handled;
  std::thread::id windowThread = std::this_thread::get_id();
  bool onWindowThread = true;
};

class FakeView : public QtHostView {
 public:
  QWidget* DialogOwner() override { return &owner; }
  void ShowStatusText(const QString& text) override { status = text; }
  void SetScriptButtonsEnabled(bool enabled) override { buttons = enabled; }
  void SetConfigMenuVisible(bool visible) override { configMenu = visible; }
  QWidget owner;
  QString status;
  bool buttons = true;
  bool configMenu = true;
};

}  // namespace

class QtHostTest : public QObject {
  Q_OBJECT

 private slots:
  // A worker's post reaches its target while the window thread sits in Qt's own
  // loop, with nobody calling ProcessMessages.
  void postFromWorkerWakesQtLoop() {
    QtHost host;
    Recorder r;
    host.AddTarget(&r);
    std::thread worker([&] { host.Post(&r, 0x7E01, 1); });
    QTRY_COMPARE_WITH_TIMEOUT(r.handled.size(), size_t(1), 5000);
    worker.join();
    QVERIFY(r.onWindowThread);
    host.RemoveTarget(&r);
  }

  void sendFromWorkerGetsResultThroughQtLoop() {
    QtHost host;
    Recorder r;
    host.AddTarget(&r);
    std::atomic<int> outcome{-1};
    intptr_t result = 0;
    std::thread worker([&] { outcome = host.Send(&r, 0x7E08, 21, 0, 3000, &result) ? 1 : 0; });
    QTRY_VERIFY_WITH_TIMEOUT(outcome.load() != -1, 5000);
    worker.join();
    QCOMPARE(outcome.load(), 1);
    QCOMPARE(result, intptr_t(42));
    host.RemoveTarget(&r);
  }

  // A window thread that does not service its queue: the sender gives up after its
  // time-out instead of hanging.
  void sendTimesOutWhenQueueIsNotServiced() {
    QtHost host;
    Recorder r;
    host.AddTarget(&r);
    auto sent = std::async(std::launch::async, [&] { return host.Send(&r, 0x7E08, 1, 0, 50); });
    QCOMPARE(sent.get(), false);  // the window thread blocks here, servicing nothing
    QCoreApplication::processEvents();
    host.ProcessMessages();
    QVERIFY(r.handled.empty());  // a timed-out message is dropped, not delivered late
    host.RemoveTarget(&r);
  }

  void timersFireOnlyInsideTheServicedQueue() {
    QtHost host;
    int fired = 0;
    TimerId t = host.CreateTimer([&] { ++fired; });
    host.SetTimerInterval(t, 1);
    host.SetTimerEnabled(t, true);
    host.Sleep(30);  // a plain sleep services nothing
    QCOMPARE(fired, 0);
    host.ProcessMessages();
    QCOMPARE(fired, 1);
    // Left to Qt's loop, the armed timer keeps firing at its interval.
    QTRY_VERIFY_WITH_TIMEOUT(fired >= 3, 5000);
    host.SetTimerEnabled(t, false);
    int now = fired;
    QTest::qWait(30);
    QCOMPARE(fired, now);
    host.DestroyTimer(t);
  }

  void processMessagesServicesQtEventsAndHostMessages() {
    QtHost host;
    Recorder r;
    host.AddTarget(&r);
    bool qtEvent = false;
    QTimer::singleShot(0, [&] { qtEvent = true; });
    host.Post(&r, 0x7E47);
    host.ProcessMessages();
    QVERIFY(qtEvent);
    QCOMPARE(r.handled, std::vector<uint32_t>{0x7E47});
    host.RemoveTarget(&r);
  }

  // The waits of the core sleep in Qt's loop and come back when a worker posts.
  void waitReturnsWhenWorkerPosts() {
    QtHost host;
    Recorder r;
    host.AddTarget(&r);
    std::thread worker([&] { host.Post(&r, 0x7E01); });
    while (r.handled.empty()) host.WaitAndProcessMessages(Host::kInfinite);
    worker.join();
    QCOMPARE(r.handled.size(), size_t(1));
    host.RemoveTarget(&r);
  }

  void waitEndsAtItsLimit() {
    QtHost host;
    uint64_t start = host.NowMs();
    while (host.NowMs() - start < 20) host.WaitAndProcessMessages(20);
    QVERIFY(host.NowMs() - start >= 20);
  }

  // Serial notices are sent while a real modal box is open, as a window procedure
  // gets them during a modal loop.
  void sendIsDeliveredDuringModalBox() {
    QtHost host;
    FakeView view;
    host.SetView(&view);
    Recorder r;
    host.AddTarget(&r);
    std::atomic<int> outcome{-1};
    std::thread worker;
    QTimer::singleShot(0, [&] {
      worker = std::thread([&] { outcome = host.Send(&r, 0x7E08, 1, 0, 3000) ? 1 : 0; });
    });
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box && outcome.load() != -1) box->button(QMessageBox::Ok)->click();
    });
    closer.start(5);
    host.ShowMessage("Upload Complete.");
    worker.join();
    QCOMPARE(outcome.load(), 1);
    QCOMPARE(r.handled.size(), size_t(1));
    host.RemoveTarget(&r);
  }

  void operatorSideGoesToTheView() {
    QtHost host;
    FakeView view;
    host.SetView(&view);
    host.autoAnswer = true;
    host.SetStatusText("Checking COM 1.... Please wait.... ");
    QCOMPARE(view.status, QString("Checking COM 1.... Please wait.... "));
    host.SetScriptButtonsEnabled(false);
    QVERIFY(!view.buttons);
    host.SetConfigMenuVisible(false);
    QVERIFY(!view.configMenu);
    host.SetWaitCursor(true);
    host.SetWaitCursor(true);  // nested calls do not stack the cursor
    QVERIFY(QApplication::overrideCursor());
    QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    host.SetWaitCursor(false);
    QVERIFY(!QApplication::overrideCursor());
  }

  void autoAnswerRecordsBoxesAndAnswersInOrder() {
    QtHost host;
    host.autoAnswer = true;
    std::vector<std::string> seen;
    host.onMessage = [&](const std::string& t) { seen.push_back(t); };
    host.ShowMessage("Upload Complete.");
    host.yesNoAnswers = {true, false};
    QCOMPARE(host.AskYesNo("q1"), true);
    QCOMPARE(host.AskYesNo("q2"), false);
    QCOMPARE(host.AskYesNo("q3"), false);  // no answer left: No
    QCOMPARE(host.messages, std::vector<std::string>{"Upload Complete."});
    QCOMPARE(seen, host.messages);
    QCOMPARE(host.questions.size(), size_t(3));
  }

  void boxesAsTheOperatorSeesThem() {
    QWidget owner;
    auto box = QtHost::BuildMessageBox(&owner, "Upload Complete.");
    QCOMPARE(box->windowTitle(), QString("Zarnik"));
    QCOMPARE(box->text(), QString("Upload Complete."));
    QCOMPARE(box->standardButtons(), QMessageBox::Ok);
    QCOMPARE(box->parentWidget(), &owner);
    auto yesNo = QtHost::BuildYesNoBox(&owner, QtHost::kYesNoCaption, "File upload in progress.");
    QCOMPARE(yesNo->windowTitle(), QString("Loader GUI : Confirm Exit"));
    QCOMPARE(QtHost::BoxText("File upload in progress.\rAre you sure?"),
             QString("File upload in progress.\nAre you sure?"));
    QCOMPARE(yesNo->standardButtons(), QMessageBox::Yes | QMessageBox::No);
  }
};

}  // namespace zarnik

ZARNIK_QTEST_MAIN(zarnik::QtHostTest)
#include "qt_host_test.moc"
