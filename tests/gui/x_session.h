// A private X server (Xvfb) for the end-to-end tests that need what only a window
// system does: a close request from the window manager's side, a click on a window.
// The requests go as a window manager or a pointer would send them, by X protocol.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "support/process.h"

struct xcb_connection_t;

namespace zarnik::e2e {

class XSession {
 public:
  // Starts Xvfb on a free display; Ok() is false when it cannot (no Xvfb installed).
  XSession();
  ~XSession();
  bool Ok() const { return conn_ != nullptr; }
  const std::string& Display() const { return display_; }

  // The viewable top-level window whose title contains text; 0 when none (yet).
  uint32_t FindWindow(const std::string& titlePart);
  // The title the window system shows (_NET_WM_NAME).
  std::string Title(uint32_t window);
  // WM_DELETE_WINDOW, as the close box of a window manager sends it.
  void RequestClose(uint32_t window);
  // A left click at (x, y) of the window's client area.
  void Click(uint32_t window, int x, int y);

 private:
  uint32_t Atom(const char* name);

  std::unique_ptr<zarnik::testing::Process> server_;
  std::string display_;
  xcb_connection_t* conn_ = nullptr;
  uint32_t root_ = 0;
};

}  // namespace zarnik::e2e
