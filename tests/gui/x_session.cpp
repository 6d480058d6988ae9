#include "x_session.h"

#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace zarnik::e2e {

namespace {
constexpr const char* kXvfb = "/usr/bin/Xvfb";
}

XSession::XSession() {
  if (::access(kXvfb, X_OK) != 0) return;
  // -displayfd: the server picks a free display and writes its number when ready.
  server_ = std::make_unique<zarnik::testing::Process>(
      kXvfb, std::vector<std::string>{"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten",
                                      "tcp"});
  const std::string number = server_->ReadLine(10000);
  if (number.empty()) return;
  display_ = ":" + number;
  int screenIndex = 0;
  xcb_connection_t* c = xcb_connect(display_.c_str(), &screenIndex);
  if (xcb_connection_has_error(c)) {
    xcb_disconnect(c);
    return;
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenIndex; ++i) xcb_screen_next(&it);
  root_ = it.data->root;
  conn_ = c;
}

XSession::~XSession() {
  if (conn_) xcb_disconnect(conn_);
}

uint32_t XSession::Atom(const char* name) {
  auto* reply = xcb_intern_atom_reply(
      conn_, xcb_intern_atom(conn_, 0, uint16_t(std::strlen(name)), name), nullptr);
  const uint32_t atom = reply ? reply->atom : 0;
  std::free(reply);
  return atom;
}

std::string XSession::Title(uint32_t window) {
  auto* name = xcb_get_property_reply(
      conn_, xcb_get_property(conn_, 0, window, Atom("_NET_WM_NAME"), Atom("UTF8_STRING"), 0, 256),
      nullptr);
  std::string title;
  if (name)
    title.assign(static_cast<const char*>(xcb_get_property_value(name)),
                 size_t(xcb_get_property_value_length(name)));
  std::free(name);
  return title;
}

uint32_t XSession::FindWindow(const std::string& titlePart) {
  if (!conn_) return 0;
  uint32_t found = 0;
  auto* tree = xcb_query_tree_reply(conn_, xcb_query_tree(conn_, root_), nullptr);
  if (!tree) return 0;
  const xcb_window_t* children = xcb_query_tree_children(tree);
  for (int i = 0; i < xcb_query_tree_children_length(tree) && !found; ++i) {
    const xcb_window_t w = children[i];
    auto* attrs =
        xcb_get_window_attributes_reply(conn_, xcb_get_window_attributes(conn_, w), nullptr);
    const bool viewable = attrs && attrs->map_state == XCB_MAP_STATE_VIEWABLE;
    std::free(attrs);
    if (viewable && Title(w).find(titlePart) != std::string::npos) found = w;
  }
  std::free(tree);
  return found;
}

void XSession::RequestClose(uint32_t window) {
  xcb_client_message_event_t ev{};
  ev.response_type = XCB_CLIENT_MESSAGE;
  ev.format = 32;
  ev.window = window;
  ev.type = Atom("WM_PROTOCOLS");
  ev.data.data32[0] = Atom("WM_DELETE_WINDOW");
  ev.data.data32[1] = XCB_CURRENT_TIME;
  xcb_send_event(conn_, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&ev));
  xcb_flush(conn_);
}

void XSession::Click(uint32_t window, int x, int y) {
  for (uint8_t type : {uint8_t(XCB_BUTTON_PRESS), uint8_t(XCB_BUTTON_RELEASE)}) {
    xcb_button_press_event_t ev{};
    ev.response_type = type;
    ev.detail = 1;
    ev.root = root_;
    ev.event = window;
    ev.event_x = int16_t(x);
    ev.event_y = int16_t(y);
    ev.same_screen = 1;
    ev.state = type == XCB_BUTTON_RELEASE ? XCB_BUTTON_MASK_1 : 0;
    const uint32_t mask =
        type == XCB_BUTTON_PRESS ? XCB_EVENT_MASK_BUTTON_PRESS : XCB_EVENT_MASK_BUTTON_RELEASE;
    xcb_send_event(conn_, 0, window, mask, reinterpret_cast<const char*>(&ev));
  }
  xcb_flush(conn_);
}

}  // namespace zarnik::e2e
