#include "nb/ui/toolkit/DisplayConnection.h"

#include <SDL.h>
#include <SDL_syswm.h>

namespace nb::ui::internal {

int displayConnectionFd(SDL_Window* window) {
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
#if defined(SDL_VIDEO_DRIVER_X11)
  if (SDL_GetWindowWMInfo(window, &info) && info.subsystem == SDL_SYSWM_X11) {
    return ConnectionNumber(info.info.x11.display);
  }
#endif
  return -1;
}

}  // namespace nb::ui::internal
