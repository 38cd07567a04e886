// Internal to the toolkit: the file descriptor of an SDL window's display
// connection, for a run loop to watch. Apart from WindowHost because the X
// headers define macros (Status, Bool) that clash with the library's names.
#pragma once

struct SDL_Window;

namespace nb::ui::internal {

// The X11 connection's fd, or -1 on other desktops (nothing to watch there).
int displayConnectionFd(SDL_Window* window);

}  // namespace nb::ui::internal
