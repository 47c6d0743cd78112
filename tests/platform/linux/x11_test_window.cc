#include "x11_test_window.h"

#include <poll.h>
#include <sys/uio.h>
#include <xcb/randr.h>
#include <xcb/screensaver.h>
#include <xcb/xcbext.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace pellora::test {

void FreeEvent::operator()(void* p) const { std::free(p); }

namespace {
template <typename T>
using Reply = std::unique_ptr<T, FreeEvent>;
}

X11TestWindow::X11TestWindow(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
  if (xcb_connection_has_error(c_)) throw std::runtime_error("cannot connect to " + display);
  screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
}

X11TestWindow::~X11TestWindow() { xcb_disconnect(c_); }

void X11TestWindow::sync() {
  Reply<xcb_get_input_focus_reply_t>(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
}

void X11TestWindow::fill(PixelRect r, std::uint32_t rgb) {
  const xcb_gcontext_t gc = xcb_generate_id(c_);
  const std::uint32_t values[] = {rgb, XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS};
  xcb_create_gc(c_, gc, screen_->root, XCB_GC_FOREGROUND | XCB_GC_SUBWINDOW_MODE, values);
  const xcb_rectangle_t rect{static_cast<std::int16_t>(r.x), static_cast<std::int16_t>(r.y),
                             static_cast<std::uint16_t>(r.width), static_cast<std::uint16_t>(r.height)};
  xcb_poly_fill_rectangle(c_, screen_->root, gc, 1, &rect);
  xcb_free_gc(c_, gc);
  sync();
}

void X11TestWindow::open(PixelRect r) {
  window_ = xcb_generate_id(c_);
  const std::uint32_t values[] = {screen_->black_pixel, 1,  // override-redirect: no window manager here anyway
                                  XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                      XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_KEY_PRESS |
                                      XCB_EVENT_MASK_KEY_RELEASE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
  xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen_->root, static_cast<std::int16_t>(r.x),
                    static_cast<std::int16_t>(r.y), static_cast<std::uint16_t>(r.width),
                    static_cast<std::uint16_t>(r.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
  xcb_map_window(c_, window_);
  xcb_flush(c_);
  if (!waitFor(XCB_MAP_NOTIFY)) throw std::runtime_error("test window not mapped");
  xcb_set_input_focus(c_, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
  sync();
}

Event X11TestWindow::waitFor(std::uint8_t type) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    while (Event e{xcb_poll_for_event(c_)}) {
      if ((e->response_type & 0x7F) == type) return e;
    }
    pollfd p{xcb_get_file_descriptor(c_), POLLIN, 0};
    poll(&p, 1, 50);
  }
  return nullptr;
}

void X11TestWindow::warpPointer(int x, int y) {
  xcb_warp_pointer(c_, XCB_NONE, screen_->root, 0, 0, 0, 0, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y));
  sync();
}

std::uint32_t X11TestWindow::addMonitor(const std::string& name, PixelRect r, bool primary) {
  Reply<xcb_randr_query_version_reply_t>(xcb_randr_query_version_reply(c_, xcb_randr_query_version(c_, 1, 5), nullptr));
  xcb_randr_monitor_info_t info{};
  info.name = atom(name);
  info.primary = primary ? 1 : 0;
  info.x = static_cast<std::int16_t>(r.x);
  info.y = static_cast<std::int16_t>(r.y);
  info.width = static_cast<std::uint16_t>(r.width);
  info.height = static_cast<std::uint16_t>(r.height);
  info.width_in_millimeters = 100;
  info.height_in_millimeters = 100;
  // Sent by hand: the xcb_randr_set_monitor of this libxcb computes a wrong request length and breaks
  // the connection.
  struct {
    std::uint8_t major, minor;
    std::uint16_t length;
    xcb_window_t window;
  } header{0, XCB_RANDR_SET_MONITOR, 0, screen_->root};
  static const xcb_protocol_request_t request = {2, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
  iovec parts[4];
  parts[2] = {&header, sizeof header};
  parts[3] = {&info, sizeof info};
  const xcb_void_cookie_t cookie{xcb_send_request(c_, XCB_REQUEST_CHECKED, parts + 2, &request)};
  Reply<xcb_generic_error_t> error(xcb_request_check(c_, cookie));
  if (error) throw std::runtime_error("RandR SetMonitor failed: error " + std::to_string(error->error_code));
  return info.name;
}

void X11TestWindow::deleteMonitor(std::uint32_t atom) {
  xcb_randr_delete_monitor(c_, screen_->root, atom);
  sync();
}

void X11TestWindow::disableOutputs() {
  Reply<xcb_randr_query_version_reply_t>(xcb_randr_query_version_reply(c_, xcb_randr_query_version(c_, 1, 5), nullptr));
  Reply<xcb_randr_get_screen_resources_reply_t> resources(
      xcb_randr_get_screen_resources_reply(c_, xcb_randr_get_screen_resources(c_, screen_->root), nullptr));
  if (!resources || xcb_randr_get_screen_resources_crtcs_length(resources.get()) == 0) return;
  const xcb_randr_crtc_t crtc = xcb_randr_get_screen_resources_crtcs(resources.get())[0];
  Reply<xcb_randr_set_crtc_config_reply_t>(xcb_randr_set_crtc_config_reply(
      c_,
      xcb_randr_set_crtc_config(c_, crtc, XCB_CURRENT_TIME, resources->config_timestamp, 0, 0, XCB_NONE,
                                XCB_RANDR_ROTATION_ROTATE_0, 0, nullptr),
      nullptr));
}

bool X11TestWindow::hasScreenSaver() {
  const xcb_query_extension_reply_t* e = xcb_get_extension_data(c_, &xcb_screensaver_id);
  return e && e->present;
}

void X11TestWindow::armScreenSaver() {
  xcb_set_screen_saver(c_, 1, 0, XCB_BLANKING_PREFERRED, XCB_EXPOSURES_DEFAULT);
  xcb_force_screen_saver(c_, XCB_SCREEN_SAVER_RESET);
  sync();
}

bool X11TestWindow::screenSaverOn() {
  Reply<xcb_screensaver_query_info_reply_t> info(
      xcb_screensaver_query_info_reply(c_, xcb_screensaver_query_info(c_, screen_->root), nullptr));
  return info && info->state == XCB_SCREENSAVER_STATE_ON;
}

std::uint32_t X11TestWindow::atom(const std::string& name) {
  Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
      c_, xcb_intern_atom(c_, 0, static_cast<std::uint16_t>(name.size()), name.c_str()), nullptr));
  return reply->atom;
}

std::string X11TestWindow::name(std::uint32_t atom) {
  Reply<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(c_, xcb_get_atom_name(c_, atom), nullptr));
  return std::string(xcb_get_atom_name_name(reply.get()), static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.get())));
}

xcb_window_t X11TestWindow::clipboardWindow() {
  if (window_ == XCB_NONE) {
    window_ = xcb_generate_id(c_);
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen_->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
  }
  return window_;
}

void X11TestWindow::takeClipboard() {
  xcb_set_selection_owner(c_, clipboardWindow(), atom("CLIPBOARD"), XCB_CURRENT_TIME);
  sync();
}

void X11TestWindow::serveUntil(const std::future<std::optional<std::string>>& done,
                               const std::map<std::string, Data>& offers) {
  while (done.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
    while (Event e{xcb_poll_for_event(c_)}) {
      if ((e->response_type & 0x7F) != XCB_SELECTION_REQUEST) continue;
      const auto& r = *reinterpret_cast<const xcb_selection_request_event_t*>(e.get());
      auto offer = offers.find(name(r.target));
      if (offer != offers.end())
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, r.requestor, r.property, atom(offer->second.type), 8,
                            static_cast<std::uint32_t>(offer->second.bytes.size()), offer->second.bytes.data());
      union {
        xcb_selection_notify_event_t notify;
        char bytes[32];
      } answer{};
      answer.notify = {XCB_SELECTION_NOTIFY, 0, 0, r.time, r.requestor, r.selection, r.target,
                       offer != offers.end() ? r.property : xcb_atom_t{XCB_NONE}};
      xcb_send_event(c_, 0, r.requestor, 0, answer.bytes);
      xcb_flush(c_);
    }
  }
}

std::optional<X11TestWindow::Data> X11TestWindow::request(const std::string& target) {
  const xcb_atom_t property = atom("TEST_PROPERTY");
  xcb_convert_selection(c_, clipboardWindow(), atom("CLIPBOARD"), atom(target), property, XCB_CURRENT_TIME);
  xcb_flush(c_);
  Event notify = waitFor(XCB_SELECTION_NOTIFY);
  if (!notify || reinterpret_cast<const xcb_selection_notify_event_t*>(notify.get())->property == XCB_NONE)
    return std::nullopt;
  Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      c_, xcb_get_property(c_, 1, window_, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 1 << 20), nullptr));
  const auto* value = static_cast<const char*>(xcb_get_property_value(reply.get()));
  Data data{name(reply->type), {}};
  if (reply->type == XCB_ATOM_ATOM) {
    data.bytes = " ";
    const auto* atoms = reinterpret_cast<const xcb_atom_t*>(value);
    for (int i = 0; i < xcb_get_property_value_length(reply.get()) / 4; ++i) data.bytes += name(atoms[i]) + " ";
  } else {
    data.bytes.assign(value, static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
  }
  return data;
}

}  // namespace pellora::test
