// QtHost: the Host on Qt's event loop, for the desktop program.
//
// How it works: the Host keeps its own queue of window messages and its timers;
// Qt keeps the window system's events. "Servicing the message queue once"
// (ProcessMessages) services both: Qt's pending events once, then the Host's
// messages and due timers. When the window thread is idle in Qt's event loop
// (QApplication::exec, a modal box), a message posted or sent from a worker thread
// wakes it through a posted Qt event, and a single-shot QTimer armed for the
// earliest Host timer wakes it when that timer falls due; either way the Host's
// queue is serviced from inside Qt's loop, so timers still fire only there.
// There is no event loop of our own.
//
// The operator's side goes to a QtHostView (the main window): status text, the
// script buttons, the "RS232 Config" menu, and the owner of the modal boxes.
//
// Tests set autoAnswer: message boxes are then recorded instead of shown and the
// Yes/No box takes its answer from yesNoAnswers, so no modal loop waits for a
// person. The boxes a person would see are built by BuildMessageBox and
// BuildYesNoBox either way, so tests can check their captions and buttons.
//
// Threading: create the QtHost on the GUI thread after the QApplication; that
// thread is the window thread. Post and Send may come from any thread.
#pragma once

#include <QString>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/host.h"

class QMessageBox;
class QObject;
class QTimer;
class QWidget;

namespace zarnik {

// What the main window offers the Host.
class QtHostView {
 public:
  virtual ~QtHostView() = default;
  virtual QWidget* DialogOwner() = 0;
  virtual void ShowStatusText(const QString& text) = 0;
  virtual void SetScriptButtonsEnabled(bool enabled) = 0;
  virtual void SetConfigMenuVisible(bool visible) = 0;
};

class QtHost : public Host {
 public:
  // Caption of the one-button box: the application's title.
  static constexpr const char* kMessageCaption = "Zarnik";
  // The only Yes/No question the program asks is the exit confirmation.
  static constexpr const char* kYesNoCaption = "Loader GUI : Confirm Exit";

  QtHost();
  ~QtHost() override;

  void SetView(QtHostView* view) { view_ = view; }

  uint64_t NowMs() override;
  void Sleep(uint32_t ms) override;
  void ProcessMessages() override;

  bool AskYesNo(const std::string& text) override { return AskYesNo(kYesNoCaption, text); }
  bool AskYesNo(const std::string& caption, const std::string& text);
  void SetStatusText(const std::string& text) override;
  void SetWaitCursor(bool on) override;
  void SetScriptButtonsEnabled(bool enabled) override;
  void SetConfigMenuVisible(bool visible) override;
  bool WaitCursor() const { return waitCursor_; }

  static std::unique_ptr<QMessageBox> BuildMessageBox(QWidget* owner, const QString& text);
  static std::unique_ptr<QMessageBox> BuildYesNoBox(QWidget* owner, const QString& caption,
                                                    const QString& text);
  // A system text as a box shows it: a carriage return breaks the line.
  static QString BoxText(const std::string& text);

  // ---- Test mode ----
  bool autoAnswer = false;
  std::vector<std::string> messages;     // boxes shown while autoAnswer is set
  std::vector<std::string> questions;    // Yes/No boxes while autoAnswer is set
  std::vector<std::string> statusTexts;  // status texts while autoAnswer is set
  std::deque<bool> yesNoAnswers;         // answered in order; No when empty
  // Called while an automatic box would be open (the script goes on after it).
  std::function<void(const std::string&)> onMessage;

 protected:
  void ShowMessageBox(const std::string& text) override;
  void WorkQueued() override;
  void WaitForWork(uint64_t untilMs) override;

 private:
  class Waker;
  // From inside Qt's loop: the Host's messages and due timers, then the timer re-armed.
  void Serve();
  void ArmTimer();

  QtHostView* view_ = nullptr;
  std::unique_ptr<Waker> waker_;
  QTimer* timer_;  // owned by waker_
  std::atomic<bool> wakePosted_{false};
  bool waitCursor_ = false;
  uint64_t startNs_;
};

}  // namespace zarnik
