#include "nb/ui/toolkit/WindowHost.h"

#include <SDL.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "nb/platform/RunLoop.h"
#include "nb/ui/toolkit/Renderer.h"
#include "nb/ui/toolkit/TextField.h"
#include "nb/ui/toolkit/Timer.h"

namespace nb::ui {

struct WindowHost::Impl {
  std::shared_ptr<Window> window;
  SDL_Window* sdlWindow = nullptr;
  SDL_Renderer* renderer = nullptr;
  SDL_Texture* texture = nullptr;
  bool closed = false;
  std::string screenshotPath;  // NB_WINDOW_SCREENSHOT: written after the first frame
  ~Impl() {
    if (texture) SDL_DestroyTexture(texture);
    if (renderer) SDL_DestroyRenderer(renderer);
    if (sdlWindow) SDL_DestroyWindow(sdlWindow);
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
  }
};

WindowHost::WindowHost(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
WindowHost::~WindowHost() { SDL_StopTextInput(); }

Result<std::unique_ptr<WindowHost>> WindowHost::open(std::shared_ptr<Window> window,
                                                     const std::string& title) {
  // Without a desktop SDL falls back to drivers that show nothing to anybody
  // (a window there would wait forever); those count only when asked for.
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* driver = std::getenv("SDL_VIDEODRIVER");
  if ((x11 == nullptr || *x11 == '\0') && (wayland == nullptr || *wayland == '\0') &&
      (driver == nullptr || *driver == '\0')) {
    return Status::unavailable("no display to open a window on (DISPLAY is not set)");
  }
  if (driver == nullptr || *driver == '\0') {
    SDL_SetHint(SDL_HINT_VIDEODRIVER,
                wayland != nullptr && *wayland != '\0' ? "wayland,x11" : "x11");
  }
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
    return Status::unavailable(std::string("no display to open a window on (") + SDL_GetError() +
                               ")");
  }
  const char* current = SDL_GetCurrentVideoDriver();
  const bool desktop = current != nullptr &&
                       (std::strcmp(current, "x11") == 0 || std::strcmp(current, "wayland") == 0);
  if (!desktop && (driver == nullptr || *driver == '\0')) {
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    return Status::unavailable("no display to open a window on (cannot reach DISPLAY " +
                               std::string(x11 ? x11 : "") + ")");
  }
  auto impl = std::make_unique<Impl>();
  impl->window = std::move(window);
  const int w = int(impl->window->bounds().size.width);
  const int h = int(impl->window->bounds().size.height);
  impl->sdlWindow = SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                                     w, h, SDL_WINDOW_SHOWN);
  if (impl->sdlWindow != nullptr) {
    impl->renderer = SDL_CreateRenderer(impl->sdlWindow, -1, SDL_RENDERER_SOFTWARE);
  }
  if (impl->renderer != nullptr) {
    impl->texture = SDL_CreateTexture(impl->renderer, SDL_PIXELFORMAT_ARGB8888,
                                      SDL_TEXTUREACCESS_STREAMING, w, h);
  }
  if (impl->texture == nullptr) {
    return Status::unavailable(std::string("cannot open a window: ") + SDL_GetError());
  }
  if (const char* shot = std::getenv("NB_WINDOW_SCREENSHOT")) impl->screenshotPath = shot;
  SDL_StartTextInput();
  return std::unique_ptr<WindowHost>(new WindowHost(std::move(impl)));
}

namespace {

// The text fields of a view tree in drawing order, for Tab.
void collectFields(View& view, std::vector<TextField*>& out) {
  if (auto* field = dynamic_cast<TextField*>(&view); field && !field->isHidden())
    out.push_back(field);
  for (auto& sub : view.subviews()) {
    if (!sub->isHidden()) collectFields(*sub, out);
  }
}

}  // namespace

void WindowHost::pumpEvents() {
  Window& window = *impl_->window;
  SDL_Event event;
  while (SDL_PollEvent(&event)) {
    switch (event.type) {
      case SDL_QUIT:
        impl_->closed = true;
        break;
      case SDL_MOUSEBUTTONUP:
        if (event.button.button == SDL_BUTTON_LEFT) {
          window.sendTap({double(event.button.x), double(event.button.y)});
        }
        break;
      case SDL_TEXTINPUT:
        if (auto* field = dynamic_cast<TextField*>(window.firstResponder())) {
          field->insertText(event.text.text);
        }
        break;
      case SDL_KEYDOWN:
        if (event.key.keysym.sym == SDLK_BACKSPACE) {
          if (auto* field = dynamic_cast<TextField*>(window.firstResponder()))
            field->deleteBackward();
        } else if (event.key.keysym.sym == SDLK_TAB) {
          std::vector<TextField*> fields;
          collectFields(window, fields);
          if (fields.empty()) break;
          std::size_t next = 0;
          for (std::size_t i = 0; i < fields.size(); ++i) {
            if (fields[i] == window.firstResponder()) next = (i + 1) % fields.size();
          }
          fields[next]->becomeFirstResponder();
        }
        break;
      default:
        break;
    }
  }
}

void WindowHost::present() {
  Image frame = Renderer::render(*impl_->window);
  SDL_UpdateTexture(impl_->texture, nullptr, frame.data(), frame.stride());
  SDL_RenderClear(impl_->renderer);
  SDL_RenderCopy(impl_->renderer, impl_->texture, nullptr, nullptr);
  SDL_RenderPresent(impl_->renderer);
  if (!impl_->screenshotPath.empty()) {
    const std::string path = std::move(impl_->screenshotPath);
    impl_->screenshotPath.clear();
    if (Result<Image> shot = screenshot(); shot.ok()) (void)shot->writePng(path);
  }
}

Result<Image> WindowHost::screenshot() {
  int w = 0, h = 0;
  SDL_GetRendererOutputSize(impl_->renderer, &w, &h);
  Image image(w, h);
  if (SDL_RenderReadPixels(impl_->renderer, nullptr, SDL_PIXELFORMAT_ARGB8888, image.data(),
                           image.stride()) != 0) {
    return Status::unavailable(std::string("cannot read the window back: ") + SDL_GetError());
  }
  return image;
}

bool WindowHost::runUntil(const std::function<bool()>& done) {
  // About 30 frames a second; the run loop serves the library's requests in between.
  auto timer = Timer::scheduledTimer(0.033, true, [this] {
    pumpEvents();
    present();
  });
  present();
  RunLoop& loop = RunLoop::current();
  bool finished = false;
  while (!impl_->closed) {
    if (loop.runUntil([&] { return impl_->closed || done(); }, std::chrono::hours(24))) {
      finished = !impl_->closed;
      break;
    }
  }
  timer->invalidate();
  if (finished) present();
  return finished;
}

}  // namespace nb::ui
