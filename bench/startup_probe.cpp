// Start-up time of a program's window, seen from the X server: starts the command, waits for a
// top-level window with the given title to be mapped, then for its first paint (a square of
// pixels at the given spot turning the given colour), and ends the program.
//
//   startup_probe TITLE X Y RRGGBB -- COMMAND [ARGS...]
//
// X and Y count from the window's top right corner leftwards and downwards, so they do not
// depend on the window's size. Prints "mapped_ms: T" and "painted_ms: T" from the moment of
// fork; exits non-zero when either does not happen within 10 s.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <poll.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

std::string Title(xcb_connection_t* c, xcb_window_t w) {
  xcb_get_property_cookie_t cookie =
      xcb_get_property(c, 0, w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, 256);
  xcb_get_property_reply_t* r = xcb_get_property_reply(c, cookie, nullptr);
  if (!r) return {};
  std::string t(static_cast<const char*>(xcb_get_property_value(r)),
                static_cast<size_t>(xcb_get_property_value_length(r)));
  free(r);
  return t;
}

// Whether the 4 x 4 pixels at (x, y) of the window all have the colour.
bool Painted(xcb_connection_t* c, xcb_window_t w, int fromRight, int y, uint32_t rgb) {
  xcb_get_geometry_reply_t* g = xcb_get_geometry_reply(c, xcb_get_geometry(c, w), nullptr);
  if (!g) return false;
  const int x = g->width - fromRight;
  free(g);
  if (x < 0) return false;
  xcb_get_image_reply_t* img =
      xcb_get_image_reply(c,
                          xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, w, static_cast<int16_t>(x),
                                        static_cast<int16_t>(y), 4, 4, ~0u),
                          nullptr);
  if (!img) return false;
  const auto* p = reinterpret_cast<const uint32_t*>(xcb_get_image_data(img));
  const int n = xcb_get_image_data_length(img) / 4;
  bool all = n >= 16;
  for (int i = 0; i < n && all; ++i)
    all = (p[i] & 0xffffff) == rgb;
  free(img);
  return all;
}

double Ms(Clock::time_point from) {
  return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7 || std::strcmp(argv[5], "--") != 0) {
    std::fprintf(stderr, "usage: startup_probe TITLE X Y RRGGBB -- COMMAND [ARGS...]\n");
    return 2;
  }
  const std::string title = argv[1];
  const int fromRight = std::atoi(argv[2]), y = std::atoi(argv[3]);
  const auto colour = static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 16));
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) {
    std::fprintf(stderr, "startup_probe: no display\n");
    return 2;
  }
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
  xcb_request_check(c, xcb_change_window_attributes_checked(c, root, XCB_CW_EVENT_MASK, &mask));

  const auto start = Clock::now();
  const pid_t child = fork();
  if (child == 0) {
    execvp(argv[6], argv + 6);
    _exit(127);
  }
  double mapped = -1, painted = -1;
  xcb_window_t window = 0;
  while (painted < 0 && Ms(start) < 10000) {
    if (!window) {
      pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
      poll(&fd, 1, 10);
      while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
        if ((e->response_type & 0x7f) == XCB_MAP_NOTIFY) {
          const auto* m = reinterpret_cast<xcb_map_notify_event_t*>(e);
          if (!window && Title(c, m->window) == title) {
            window = m->window;
            mapped = Ms(start);
          }
        }
        free(e);
      }
    } else if (Painted(c, window, fromRight, y, colour)) {
      painted = Ms(start);
    } else {
      usleep(500);
    }
  }
  kill(child, SIGTERM);
  waitpid(child, nullptr, 0);
  xcb_disconnect(c);
  if (mapped < 0 || painted < 0) {
    std::fprintf(stderr, "startup_probe: window \"%s\" %s within 10 s\n", title.c_str(),
                 mapped < 0 ? "not mapped" : "not painted");
    return 1;
  }
  std::printf("mapped_ms: %.1f\npainted_ms: %.1f\n", mapped, painted);
  return 0;
}
