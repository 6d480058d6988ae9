// ShellView: what port discovery and the start-up sequence show in the main window,
// beyond the operator calls of the Host (status text, boxes, hourglass, buttons).
//
// How a front end uses this: the desktop program's main window implements ShellView
// (labels of the RS-232 group, the PCI Connected entry, the status lights, the
// splash, the window itself) and hands its terminal pane out as a TerminalView;
// zarnik-cli uses a view that shows nothing; tests record the calls. The core
// calls the view only on the window thread and never asks it to wait for anything.
//
// TerminalView is the part the terminal pane implements: focus, visibility, the
// colours of the Terminal menu and the settings file, and the font of Terminal
// Fonts... . Colours are 0x00BBGGRR (red in the low byte).
#pragma once

#include <cstdint>
#include <string>

namespace zarnik {

// A font as the terminal pane and the font dialog exchange it. Height in pixels.
struct TerminalFont {
  std::string Name = "Courier New";
  int Height = 12;
  bool Bold = false;
  bool Italic = false;
  bool Underline = false;
  bool StrikeOut = false;
  bool operator==(const TerminalFont&) const = default;
};

class TerminalView {
 public:
  virtual ~TerminalView() = default;
  virtual void SetFocus() = 0;
  virtual void SetVisible(bool visible) = 0;
  virtual void SetBackgroundColour(uint32_t colour) = 0;
  virtual void SetTextColour(uint32_t colour) = 0;
  virtual TerminalFont GetFont() const = 0;
  virtual void SetFont(const TerminalFont& font) = 0;
  // Empties the screen (the switch to the PCI link does). A pane that keeps no
  // screen has nothing to clear.
  virtual void ClearAll() {}
};

class ShellView {
 public:
  virtual ~ShellView() = default;

  // ---- Labels ----
  virtual void SetVersionLabel(const std::string& text) = 0;    // VersionLabel
  virtual void SetComNumberLabel(const std::string& text) = 0;  // ComNumberLabel ("None", "2")
  virtual void SetComBaudLabel(const std::string& text) = 0;    // ComBaudLabel

  // ---- Link ----
  // PCI Board(s) > Connected: enabled only when the board scan found usable boards.
  // The tick shows the PCI link is active. A view with the entry overrides the
  // defaults, which stand for an entry that stays disabled and unticked.
  virtual bool PciConnectEnabled() const = 0;
  virtual void SetPciConnectEnabled(bool) {}
  virtual bool PciConnectChecked() const { return false; }
  virtual void SetPciConnectChecked(bool checked) = 0;
  // The RS-232 group box (hidden while the PCI board is connected).
  virtual void SetRs232GroupVisible(bool visible) = 0;
  // The status light controller starts watching the port's lines.
  virtual void StartStatusLights() = 0;

  // ---- Terminal ----
  virtual TerminalView& Terminal() = 0;
  // Terminal > Visible: ticked while the terminal area is shown (client height 420);
  // the click toggles the tick and the height (139 unticked).
  virtual bool TerminalAreaShown() const = 0;
  virtual void VisibleMenuClick() = 0;

  // ---- Windows and the process ----
  virtual void HideSplash() = 0;
  virtual void SetMainWindowEnabled(bool enabled) = 0;
  virtual void HideMainWindow() = 0;
  // Asks the main window to close; the close query decides.
  virtual void CloseMainWindow() = 0;
  // Ends the process at once with this status; nothing after it is relied on.
  virtual void EndProcess(int exitStatus) = 0;
  // A Yes/No box owned by the main window, with its own caption.
  virtual bool AskYesNo(const std::string& caption, const std::string& text) = 0;
};

}  // namespace zarnik
