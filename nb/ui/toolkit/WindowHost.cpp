#include "nb/ui/toolkit/WindowHost.h"

#include <SDL.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nb/platform/RunLoop.h"
#include "nb/ui/toolkit/DisplayConnection.h"
#include "nb/ui/toolkit/Renderer.h"
#include "nb/ui/toolkit/TextField.h"
#include "nb/ui/toolkit/Timer.h"

namespace nb::ui {

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kBlinkSeconds = 0.53;

const char* env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

// Pixels per point asked for by the desktop's settings (1 when none).
double requestedScale() {
  for (const char* name : {"NB_WINDOW_SCALE", "GDK_SCALE"}) {
    if (const char* value = env(name)) {
      const double scale = std::atof(value);
      if (scale >= 1 && scale <= 4) return scale;
    }
  }
  return 1;
}

// A one-line field takes the first line of what is pasted.
std::string firstLine(const char* text) {
  const std::string all = text != nullptr ? text : "";
  return all.substr(0, all.find_first_of("\r\n"));
}

}  // namespace

struct WindowHost::Impl {
  std::shared_ptr<Window> window;
  SDL_Window* sdlWindow = nullptr;
  SDL_Renderer* renderer = nullptr;
  SDL_Texture* texture = nullptr;
  int textureWidth = 0, textureHeight = 0;
  double pointScale = 1;  // SDL window coordinates per point
  double pixelScale = 1;  // drawn pixels per point
  bool closed = false;
  int displayFd = -1;           // the X connection, watched by the run loop
  int screenshotSignalFd = -1;  // SIGUSR1
  std::string screenshotPath;
  bool firstFrameSaved = false;
  std::FILE* timing = nullptr;
  std::optional<Clock::time_point> keyReadAt;  // a key press not yet shown
  std::weak_ptr<TextField> dragField;          // the field a mouse drag selects in
  std::shared_ptr<Timer> blinkTimer;
  std::shared_ptr<Timer> pollTimer;  // without a display connection to watch
  bool caretOn = true;
  bool inputReady = true;  // the display may have events: look before sleeping again

  ~Impl() {
    if (blinkTimer) blinkTimer->invalidate();
    if (pollTimer) pollTimer->invalidate();
    if (displayFd >= 0) RunLoop::current().unwatchFd(displayFd);
    if (screenshotSignalFd >= 0) {
      RunLoop::current().unwatchFd(screenshotSignalFd);
      close(screenshotSignalFd);
    }
    if (timing) std::fclose(timing);
    if (texture) SDL_DestroyTexture(texture);
    if (renderer) SDL_DestroyRenderer(renderer);
    if (sdlWindow) SDL_DestroyWindow(sdlWindow);
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
  }

  Point toPoints(int x, int y) const { return {x / pointScale, y / pointScale}; }
  TextField* focusedField() const { return dynamic_cast<TextField*>(window->firstResponder()); }
  bool hasFocus() const { return (SDL_GetWindowFlags(sdlWindow) & SDL_WINDOW_INPUT_FOCUS) != 0; }

  // Handles every queued event; true when there were any.
  bool pump() {
    bool any = false;
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
      any = true;
      handle(event);
    }
    return any;
  }

  void handle(const SDL_Event& event) {
    switch (event.type) {
      case SDL_QUIT:
        closed = true;
        break;
      case SDL_WINDOWEVENT:
        handleWindowEvent(event.window);
        break;
      case SDL_MOUSEBUTTONDOWN:
        if (event.button.button == SDL_BUTTON_LEFT) mouseDown(event.button);
        break;
      case SDL_MOUSEMOTION:
        if (auto field = dragField.lock(); field && (event.motion.state & SDL_BUTTON_LMASK)) {
          field->setCaretAtPoint(field->convertFromRoot(toPoints(event.motion.x, event.motion.y)),
                                 true);
        }
        break;
      case SDL_MOUSEBUTTONUP:
        if (event.button.button != SDL_BUTTON_LEFT) break;
        if (dragField.expired()) {
          window->sendTap(toPoints(event.button.x, event.button.y));
        }
        dragField.reset();
        break;
      case SDL_TEXTEDITING:
        if (TextField* field = focusedField()) field->setMarkedText(event.edit.text);
        noteKey();
        break;
      case SDL_TEXTINPUT:
        if (TextField* field = focusedField()) field->insertText(event.text.text);
        noteKey();
        break;
      case SDL_KEYDOWN:
        handleKey(event.key.keysym);
        noteKey();
        break;
      default:
        break;
    }
  }

  void handleWindowEvent(const SDL_WindowEvent& event) {
    switch (event.event) {
      case SDL_WINDOWEVENT_SIZE_CHANGED:
        window->setFrame(Rect(0, 0, event.data1 / pointScale, event.data2 / pointScale));
        break;
      case SDL_WINDOWEVENT_EXPOSED:
      case SDL_WINDOWEVENT_FOCUS_GAINED:
      case SDL_WINDOWEVENT_FOCUS_LOST:
        window->setNeedsDisplay();
        break;
      default:
        break;
    }
  }

  void mouseDown(const SDL_MouseButtonEvent& button) {
    const Point p = toPoints(button.x, button.y);
    auto* field = dynamic_cast<TextField*>(window->hitTest(p));
    if (field == nullptr) return;  // a tap, on release
    field->becomeFirstResponder();
    if (button.clicks >= 2) {
      field->selectAll();
    } else {
      field->setCaretAtPoint(field->convertFromRoot(p), (SDL_GetModState() & KMOD_SHIFT) != 0);
    }
    dragField = std::static_pointer_cast<TextField>(field->shared_from_this());
  }

  void handleKey(const SDL_Keysym& key) {
    const bool shift = (key.mod & KMOD_SHIFT) != 0;
    const bool ctrl = (key.mod & KMOD_CTRL) != 0;
    if (key.sym == SDLK_TAB) {
      window->focusNextField(shift);
      return;
    }
    TextField* field = focusedField();
    if (field == nullptr) return;
    if (!field->markedText().empty()) return;  // the input method owns the keys while composing
    using Motion = TextField::Motion;
    switch (key.sym) {
      case SDLK_RETURN:
      case SDLK_KP_ENTER:
        field->pressReturn();
        break;
      case SDLK_BACKSPACE:
        field->deleteBackward();
        break;
      case SDLK_DELETE:
        field->deleteForward();
        break;
      case SDLK_LEFT:
        field->moveCaret(Motion::kLeft, shift);
        break;
      case SDLK_RIGHT:
        field->moveCaret(Motion::kRight, shift);
        break;
      case SDLK_HOME:
      case SDLK_UP:
        field->moveCaret(Motion::kHome, shift);
        break;
      case SDLK_END:
      case SDLK_DOWN:
        field->moveCaret(Motion::kEnd, shift);
        break;
      case SDLK_a:
        if (ctrl) field->selectAll();
        break;
      case SDLK_c:
        if (auto text = ctrl ? field->copySelection() : std::nullopt) {
          SDL_SetClipboardText(text->c_str());
        }
        break;
      case SDLK_x:
        if (auto text = ctrl ? field->cutSelection() : std::nullopt) {
          SDL_SetClipboardText(text->c_str());
        }
        break;
      case SDLK_v:
        if (ctrl) {
          char* text = SDL_GetClipboardText();  // empty when there is none
          if (text != nullptr && *text != '\0') field->insertText(firstLine(text));
          SDL_free(text);
        }
        break;
      default:
        break;
    }
  }

  // A key or text arrived: the caret shows at once, and the next frame is timed.
  void noteKey() {
    if (!keyReadAt) keyReadAt = Clock::now();
    caretOn = true;
    if (blinkTimer) blinkTimer->invalidate();
    blinkTimer = nullptr;
  }

  // The caret blinks while a field has the focus in a focused window; the
  // timer runs only then, so an idle window without a caret wakes nobody.
  void updateCaret(bool moved) {
    TextField* field = focusedField();
    const bool blinking = field != nullptr && hasFocus();
    if (!blinking) {
      if (blinkTimer) blinkTimer->invalidate();
      blinkTimer = nullptr;
      caretOn = true;
    } else if (!blinkTimer) {
      blinkTimer = Timer::scheduledTimer(kBlinkSeconds, true, [this] {
        caretOn = !caretOn;
        if (TextField* f = focusedField()) f->setCaretVisible(caretOn);
      });
    }
    if (field != nullptr) field->setCaretVisible(blinking && caretOn);
    if (field != nullptr && moved) {
      // The input method's candidate list goes below the caret.
      Rect r = field->caretRect();
      const Point origin = field->convertToRoot(r.origin);
      SDL_Rect area{int(origin.x * pointScale), int(origin.y * pointScale),
                    int(std::ceil(r.size.width * pointScale)),
                    int(std::ceil(r.size.height * pointScale))};
      SDL_SetTextInputRect(&area);
    }
  }

  bool ensureTexture() {
    int w = 0, h = 0;
    SDL_GetRendererOutputSize(renderer, &w, &h);
    if (texture != nullptr && w == textureWidth && h == textureHeight) return true;
    if (texture != nullptr) SDL_DestroyTexture(texture);
    texture =
        SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING, w, h);
    textureWidth = w, textureHeight = h;
    int windowWidth = 0;
    SDL_GetWindowSize(sdlWindow, &windowWidth, nullptr);
    // A desktop that scales by itself (Wayland) gives more pixels than window units.
    pixelScale = windowWidth > 0 ? pointScale * double(w) / windowWidth : pointScale;
    return texture != nullptr;
  }

  void present() {
    if (!ensureTexture()) return;
    Image frame = Renderer::render(*window, pixelScale);
    SDL_Rect area{0, 0, std::min(frame.width(), textureWidth),
                  std::min(frame.height(), textureHeight)};
    SDL_UpdateTexture(texture, &area, frame.data(), frame.stride());
    SDL_RenderClear(renderer);
    SDL_RenderCopy(renderer, texture, &area, &area);
    SDL_RenderPresent(renderer);
    if (keyReadAt) {
      const double ms =
          std::chrono::duration<double, std::milli>(Clock::now() - *keyReadAt).count();
      if (timing) std::fprintf(timing, "%.2f\n", ms), std::fflush(timing);
      keyReadAt.reset();
    }
    if (!firstFrameSaved) saveScreenshot();
  }

  void saveScreenshot();
  Result<Image> readBack();

  // Input first (when the display has spoken), then a frame when anything
  // changed; again until quiet, so that no event is left in the display
  // library's queue unseen by the fd. A wake-up for a timer whose change
  // nobody sees costs no more than that.
  void serve() {
    for (int round = 0; round < 8; ++round) {
      const bool input = inputReady && pump();
      inputReady = input;  // look again until a look finds nothing
      const bool redraw = window->needsDisplay();
      updateCaret(input || redraw);
      if (redraw) {
        present();
        inputReady = true;  // talking to the display may have queued its events
      }
      if (!input && !redraw) break;
    }
  }
};

Result<Image> WindowHost::Impl::readBack() {
  int w = 0, h = 0;
  SDL_GetRendererOutputSize(renderer, &w, &h);
  Image image(w, h);
  if (SDL_RenderReadPixels(renderer, nullptr, SDL_PIXELFORMAT_ARGB8888, image.data(),
                           image.stride()) != 0) {
    return Status::unavailable(std::string("cannot read the window back: ") + SDL_GetError());
  }
  return image;
}

void WindowHost::Impl::saveScreenshot() {
  firstFrameSaved = true;
  if (screenshotPath.empty()) return;
  // Written aside and renamed, so that a reader never sees half a file.
  const std::string partial = screenshotPath + ".partial";
  if (Result<Image> shot = readBack(); shot.ok() && shot->writePng(partial).ok()) {
    std::rename(partial.c_str(), screenshotPath.c_str());
  }
}

WindowHost::WindowHost(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
WindowHost::~WindowHost() { SDL_StopTextInput(); }

Result<std::unique_ptr<WindowHost>> WindowHost::open(std::shared_ptr<Window> window,
                                                     const std::string& title) {
  // Without a desktop SDL falls back to drivers that show nothing to anybody
  // (a window there would wait forever); those count only when asked for.
  const char* x11 = env("DISPLAY");
  const char* wayland = env("WAYLAND_DISPLAY");
  const char* driver = env("SDL_VIDEODRIVER");
  if (x11 == nullptr && wayland == nullptr && driver == nullptr) {
    return Status::unavailable("no display to open a window on (DISPLAY is not set)");
  }
  if (driver == nullptr) SDL_SetHint(SDL_HINT_VIDEODRIVER, wayland ? "wayland,x11" : "x11");
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
    return Status::unavailable(std::string("no display to open a window on (") + SDL_GetError() +
                               ")");
  }
  const char* current = SDL_GetCurrentVideoDriver();
  const bool desktop = current != nullptr &&
                       (std::strcmp(current, "x11") == 0 || std::strcmp(current, "wayland") == 0);
  if (!desktop && driver == nullptr) {
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    return Status::unavailable("no display to open a window on (cannot reach DISPLAY " +
                               std::string(x11 ? x11 : "") + ")");
  }
  auto impl = std::make_unique<Impl>();
  impl->window = std::move(window);
  impl->pointScale = requestedScale();
  const Size points = impl->window->bounds().size;
  const int w = int(std::lround(points.width * impl->pointScale));
  const int h = int(std::lround(points.height * impl->pointScale));
  impl->sdlWindow =
      SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, w, h,
                       SDL_WINDOW_SHOWN | SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI);
  if (impl->sdlWindow != nullptr) {
    SDL_SetWindowMinimumSize(impl->sdlWindow, w, h);  // the screens' layouts shrink no further
    impl->renderer = SDL_CreateRenderer(impl->sdlWindow, -1, SDL_RENDERER_SOFTWARE);
  }
  if (impl->renderer == nullptr || !impl->ensureTexture()) {
    return Status::unavailable(std::string("cannot open a window: ") + SDL_GetError());
  }

  RunLoop& loop = RunLoop::current();
  Impl* host = impl.get();
  impl->displayFd = internal::displayConnectionFd(impl->sdlWindow);
  if (impl->displayFd >= 0) {
    loop.watchFd(impl->displayFd, RunLoop::kReadable,
                 [host](unsigned) { host->inputReady = true; });
  } else {
    // No connection to watch: look for input a hundred times a second.
    impl->pollTimer = Timer::scheduledTimer(0.01, true, [host] { host->inputReady = true; });
  }
  if (const char* shot = env("NB_WINDOW_SCREENSHOT")) {
    impl->screenshotPath = shot;
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
    impl->screenshotSignalFd = signalfd(-1, &usr1, SFD_CLOEXEC | SFD_NONBLOCK);
    if (impl->screenshotSignalFd >= 0) {
      loop.watchFd(impl->screenshotSignalFd, RunLoop::kReadable, [host](unsigned) {
        signalfd_siginfo info;
        while (read(host->screenshotSignalFd, &info, sizeof info) == sizeof info) {
        }
        host->saveScreenshot();
      });
    }
  }
  if (const char* timing = env("NB_WINDOW_TIMING")) impl->timing = std::fopen(timing, "a");
  View::setAnimationsTweened(true);
  SDL_StartTextInput();
  return std::unique_ptr<WindowHost>(new WindowHost(std::move(impl)));
}

Result<Image> WindowHost::screenshot() { return impl_->readBack(); }

bool WindowHost::runUntil(const std::function<bool()>& done) {
  Impl& host = *impl_;
  host.window->setNeedsDisplay();
  // Every turn of the run loop (input, a timer, a reply of the library's
  // requests) ends here: input is handled and a changed tree drawn.
  for (;;) {
    const bool finished = RunLoop::current().runUntil(
        [&] {
          host.serve();
          return host.closed || done();
        },
        std::chrono::hours(24));
    if (finished) return !host.closed;
  }
}

}  // namespace nb::ui
