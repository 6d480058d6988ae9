// TZarnikForm: the main window. Every control sits at its place in the client area
// (527 x 416 below the menu bar), placed in code without a layout engine. The
// window is thin: its handlers call the toolkit-free start-up sequence, port
// discovery and script engine (ShellCore), which reach the window back through
// ShellView (labels, PCI entry, terminal, splash, the process) and the QtHost
// (status text, boxes, hourglass, script buttons, the RS232 Config menu).
//
// The terminal pane shows the unit's output and sends typed keys; SLController1
// drives the four lamps. The start-up sequence reaches the pane through TerminalView.
//
// Threading: GUI thread only.
#pragma once

#include <QMainWindow>
#include <functional>
#include <memory>
#include <string>

#include "app/startup.h"
#include "gui/qt_host.h"
#include "platform/shell_view.h"
#include "serial/com_port.h"
#include "widgets/status_light.h"
#include "widgets/terminal_pane.h"

class QAction;
class QActionGroup;
class QFileDialog;
class QFontDialog;
class QGroupBox;
class QLabel;
class QMenu;
class QPushButton;
class QStatusBar;

namespace zarnik {

struct ZarnikFormOptions {
  std::string settingsPath = kSettingsFileName;
  // Whether COM port n exists; the serial layer's test unless given.
  ComDiscovery::PortAvailability portAvailable;
  // Ends the process at once; unless given: streams flushed, then _exit.
  std::function<void(int status)> endProcess;
  // Run the two dialogs; unless given, modally. True when the operator confirmed.
  std::function<bool(QFileDialog&)> runFileDialog;
  std::function<bool(QFontDialog&)> runFontDialog;
};

class TZarnikForm : public QMainWindow, public ShellView, public QtHostView {
 public:
  static constexpr const char* kDesignCaption = "Halvern Inc. :- Zarnik";
  static constexpr int kClientWidth = 527;
  static constexpr int kClientHeight = 416;
  static constexpr int kShownClientHeight = 420;   // Terminal > Visible ticked
  static constexpr int kHiddenClientHeight = 139;  // unticked
  static constexpr int kStatusBarHeight = 19;
  static constexpr int kTerminalRows = 16;  // the pane's screen rows in this window

  TZarnikForm(QtHost& host, ZarnikFormOptions options = {});
  ~TZarnikForm() override;

  // The splash window, hidden by start-up once the link is set up.
  void SetSplash(QWidget* splash) { splash_ = splash; }
  bool FormShown() const { return formShowDone_; }
  int ClientHeight() const;

  ShellCore& Core() { return core_; }
  TComPort& ComPort1() { return comPort1_; }
  TTerminalPane& TerminalPane() { return *TerminalPane1; }

  // ---- Handlers ----
  void FormShow();
  void PickButtonClick();
  void UploadButtonClick();
  void ExitMenuClick();
  void PCIConnectClick();
  void VisibleMenuClick() override;
  void BackColourClick(TerminalColour colour);  // BackBlackMenuClick ... BackDefaultMenuClick
  void TextColourClick(TerminalColour colour);  // TextBlackMenuClick ... TextDefaultMenuClick
  void TerminalFonts1Click();
  void TerminalPane1KeyPress(char& key);
  // The device under ComPort1 has gone: closed, and said so in the status bar (after
  // the run, when one is going).
  void ComPort1LineLost();
  void disable_btns() { SetScriptButtonsEnabled(false); }
  void enable_btns() { SetScriptButtonsEnabled(true); }
  // The folder the script dialog opens in: the program's current folder.
  static QString GetStartDirectory();

  // ---- ShellView ----
  void SetVersionLabel(const std::string& text) override;
  void SetComNumberLabel(const std::string& text) override;
  void SetComBaudLabel(const std::string& text) override;
  bool PciConnectEnabled() const override;
  void SetPciConnectEnabled(bool enabled) override;
  bool PciConnectChecked() const override;
  void SetPciConnectChecked(bool checked) override;
  void SetRs232GroupVisible(bool visible) override;
  void StartStatusLights() override;
  TerminalView& Terminal() override { return *TerminalPane1; }
  bool TerminalAreaShown() const override;
  void HideSplash() override;
  void SetMainWindowEnabled(bool enabled) override { setEnabled(enabled); }
  void HideMainWindow() override { hide(); }
  void CloseMainWindow() override { close(); }
  void EndProcess(int exitStatus) override;
  bool AskYesNo(const std::string& caption, const std::string& text) override;

  // ---- QtHostView ----
  QWidget* DialogOwner() override { return this; }
  void ShowStatusText(const QString& text) override;
  void SetScriptButtonsEnabled(bool enabled) override;
  void SetConfigMenuVisible(bool visible) override;

  bool LampsMonitoring() const { return SLController1.Monitoring(); }
  QString StatusText() const;

  // ---- Controls, named as the program knows them ----
  QWidget* Client;
  QLabel* Label1;
  QLabel* VersionLabel;
  QPushButton* PickButton;
  QPushButton* UploadButton;
  QGroupBox* RS232GroupBox;
  TStatusLight* StatusLight1;  // CTS
  TStatusLight* StatusLight2;  // DCD
  TStatusLight* StatusLight3;  // RXD
  TStatusLight* StatusLight4;  // TXD
  QLabel* Label2;
  QLabel* Label3;
  QLabel* Label4;
  QLabel* Label5;
  QLabel* Label6;
  QLabel* ComNumberLabel;
  QLabel* Label7;
  QLabel* ComBaudLabel;
  TTerminalPane* TerminalPane1;
  QStatusBar* InfoStatusBar;
  QFileDialog* INIOpenDialog;
  QFontDialog* FontDialog1;

  QMenu* ConfigMenu;
  QAction* ExitMenu;
  QAction* PCIConnect;
  QAction* VisibleMenu;
  QMenu* ForegroundColor1;
  QAction* SearchAllMenu;

 protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

 private:
  void BuildControls();
  void BuildMenus();
  QLabel* AddLabel(QWidget* parent, int left, int top, const QString& text);
  void SetClientHeight(int height);
  // Runs a handler; an error of the serial layer that escapes it is shown, as the
  // toolkit's exception report would, instead of unwinding through Qt.
  void Guarded(const std::function<void()>& handler);

  QtHost& host_;
  ZarnikFormOptions options_;
  TComPort comPort1_;
  bool pciChecked_ = false;
  ShellCore core_;
  QLabel* statusLabel_;
  QActionGroup* baudRadio_;
  QWidget* splash_ = nullptr;

 public:
  // After core_, so that it gives the port its handlers back before they go.
  TSLController SLController1;

 private:
  bool firstShow_ = true;
  bool formShowDone_ = false;
  bool visibleTick_ = true;
};

}  // namespace zarnik
