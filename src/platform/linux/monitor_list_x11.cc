#include "platform/linux/monitor_list_x11.h"

#include <xcb/randr.h>

#include "host/cursor_image.h"
#include "host/screen_capturer.h"
#include "platform/linux/xcb_handles_x11.h"

namespace pellora::x11 {

namespace {

std::string outputName(xcb_connection_t* c, xcb_randr_output_t output) {
  Reply<xcb_randr_get_output_info_reply_t> info(
      xcb_randr_get_output_info_reply(c, xcb_randr_get_output_info(c, output, XCB_CURRENT_TIME), nullptr));
  if (!info) return {};
  const auto* name = reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get()));
  return std::string(name, static_cast<std::size_t>(xcb_randr_get_output_info_name_length(info.get())));
}

}  // namespace

bool hasExtension(xcb_connection_t* c, xcb_extension_t* extension) {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, extension);
  return data && data->present;
}

std::vector<Monitor> monitorsOf(xcb_connection_t* c, const xcb_screen_t* screen) {
  const PixelRect root{0, 0, screen->width_in_pixels, screen->height_in_pixels};
  std::vector<Monitor> monitors;
  if (hasExtension(c, &xcb_randr_id)) {
    Reply<xcb_randr_query_version_reply_t> version(
        xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
    if (version && (version->major_version > 1 || version->minor_version >= 5)) {
      Reply<xcb_randr_get_monitors_reply_t> reply(
          xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, screen->root, 1), nullptr));
      if (!reply) return {};
      for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
           xcb_randr_monitor_info_next(&it)) {
        const xcb_randr_monitor_info_t* info = it.data;
        Monitor m;
        m.id = info->name;
        m.rect = intersect({info->x, info->y, info->width, info->height}, root);
        m.primary = info->primary != 0;
        if (xcb_randr_monitor_info_outputs_length(info) > 0) {
          m.name = outputName(c, xcb_randr_monitor_info_outputs(info)[0]);
        }
        if (m.name.empty()) m.name = "Ekran " + std::to_string(m.id);
        if (!m.rect.empty()) monitors.push_back(std::move(m));
      }
      markMainDisplay(monitors);
      return monitors;
    }
  }
  monitors.push_back({screen->root, root, true, "Ekran " + std::to_string(screen->root)});
  return monitors;
}

PixelRect primaryBounds(xcb_connection_t* c, const xcb_screen_t* screen) {
  const std::vector<Monitor> monitors = monitorsOf(c, screen);
  if (const Monitor* main = chooseDisplay(monitors, 0)) return main->rect;
  return {0, 0, screen->width_in_pixels, screen->height_in_pixels};
}

}  // namespace pellora::x11
