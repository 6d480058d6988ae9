#include "gui/qt_host.h"

#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QEvent>
#include <QMessageBox>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <thread>

namespace zarnik {

namespace {

const QEvent::Type kWakeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

uint64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

QString Text(const std::string& s) {
  return QString::fromLocal8Bit(s.data(), qsizetype(s.size()));
}

}  // namespace

// Lives on the window thread; receives the wake events and owns the timer. The wake
// event is the only event of a user type it is sent, so Qt's own sorting of events by
// type picks it out: the event was made on another thread and is handed over under
// Qt's lock, which a thread checker cannot see when our code reads the event.
class QtHost::Waker : public QObject {
 public:
  explicit Waker(QtHost& host) : host_(host) {}

 protected:
  void customEvent(QEvent*) override { host_.Serve(); }

 private:
  QtHost& host_;
};

QtHost::QtHost() : waker_(std::make_unique<Waker>(*this)), startNs_(SteadyNs()) {
  timer_ = new QTimer(waker_.get());
  timer_->setSingleShot(true);
  // The 1 ms timer that ends automatic mode should not be rounded up to 5%.
  timer_->setTimerType(Qt::PreciseTimer);
  QObject::connect(timer_, &QTimer::timeout, waker_.get(), [this] { Serve(); });
}

QtHost::~QtHost() {
  if (waitCursor_ && qApp) QApplication::restoreOverrideCursor();
}

uint64_t QtHost::NowMs() {
  return (SteadyNs() - startNs_) / 1000000;
}

void QtHost::Sleep(uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void QtHost::WorkQueued() {
  // Coalesced: one wake event in flight is enough, it services everything queued.
  if (!wakePosted_.exchange(true))
    QCoreApplication::postEvent(waker_.get(), new QEvent(kWakeEvent));
}

void QtHost::Serve() {
  wakePosted_ = false;
  Host::ProcessMessages();
  ArmTimer();
}

void QtHost::ArmTimer() {
  uint64_t due;
  {
    std::lock_guard lock(mutex_);
    due = NextTimerDueLocked();
  }
  if (due == UINT64_MAX) {
    timer_->stop();
    return;
  }
  uint64_t now = NowMs();
  timer_->start(due > now ? int(std::min<uint64_t>(due - now, INT32_MAX)) : 0);
}

void QtHost::ProcessMessages() {
  QCoreApplication::processEvents();
  Serve();
}

void QtHost::WaitForWork(uint64_t untilMs) {
  uint64_t until;
  {
    std::lock_guard lock(mutex_);
    if (HasWorkLocked()) return;
    until = std::min(untilMs, NextTimerDueLocked());
  }
  uint64_t now = NowMs();
  // A timer may have fallen due since the look under the lock.
  if (now >= until) return;
  // One round of Qt's loop, blocking until some event comes: a wake, a click, or
  // the deadline. The caller loops on its own condition, so an early return is
  // harmless, and returning after any event keeps a handler that ran in here
  // (a reply collected, say) from being waited past.
  QTimer deadline;
  deadline.setSingleShot(true);
  deadline.setTimerType(Qt::PreciseTimer);
  if (until != UINT64_MAX) deadline.start(int(std::min<uint64_t>(until - now, INT32_MAX)));
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

std::unique_ptr<QMessageBox> QtHost::BuildMessageBox(QWidget* owner, const QString& text) {
  auto box = std::make_unique<QMessageBox>(QMessageBox::NoIcon, kMessageCaption, text,
                                           QMessageBox::Ok, owner);
  return box;
}

QString QtHost::BoxText(const std::string& text) {
  QString t = Text(text);
  t.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  t.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return t;
}

std::unique_ptr<QMessageBox> QtHost::BuildYesNoBox(QWidget* owner, const QString& caption,
                                                   const QString& text) {
  auto box = std::make_unique<QMessageBox>(QMessageBox::Question, caption, text,
                                           QMessageBox::Yes | QMessageBox::No, owner);
  box->setDefaultButton(QMessageBox::Yes);
  return box;
}

void QtHost::ShowMessageBox(const std::string& text) {
  if (autoAnswer) {
    messages.push_back(text);
    if (onMessage) onMessage(text);
    return;
  }
  auto box = BuildMessageBox(view_ ? view_->DialogOwner() : nullptr, BoxText(text));
  box->exec();
}

bool QtHost::AskYesNo(const std::string& caption, const std::string& text) {
  if (autoAnswer) {
    questions.push_back(text);
    if (yesNoAnswers.empty()) return false;
    bool answer = yesNoAnswers.front();
    yesNoAnswers.pop_front();
    return answer;
  }
  auto box = BuildYesNoBox(view_ ? view_->DialogOwner() : nullptr, Text(caption), BoxText(text));
  return box->exec() == QMessageBox::Yes;
}

void QtHost::SetStatusText(const std::string& text) {
  if (autoAnswer) statusTexts.push_back(text);
  if (view_) view_->ShowStatusText(Text(text));
}

void QtHost::SetWaitCursor(bool on) {
  if (on == waitCursor_) return;
  waitCursor_ = on;
  if (on)
    QApplication::setOverrideCursor(Qt::WaitCursor);
  else
    QApplication::restoreOverrideCursor();
}

void QtHost::SetScriptButtonsEnabled(bool enabled) {
  if (view_) view_->SetScriptButtonsEnabled(enabled);
}

void QtHost::SetConfigMenuVisible(bool visible) {
  if (view_) view_->SetConfigMenuVisible(visible);
}

}  // namespace zarnik
