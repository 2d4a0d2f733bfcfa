// Demo window on SDL2 (Linux).
//
// Maps: creation (borderless desktop-sized full screen or a resizable window of a
// given client size), the size, key presses as Windows virtual-key codes, the
// frame's close request, and the destroy/quit sequence of the window's states.
// Destroying hides the window and clears Handle at once; the SDL window itself is
// freed when the Window object goes, after the renderer that presents into it.
// Alt+key presses are system keys: never queued; Alt+F4 closes the window.
// Without a display no window is made and the constructor raises (SDL's drivers
// that show nothing are tried only when SDL_VIDEODRIVER names them).
// On X11 another program may destroy the window outright (XDestroyWindow, as
// `xdotool windowclose` does) instead of asking it to close: the DestroyNotify
// that follows destroys the Window as a close does, and the X errors that requests
// still on their way to the vanished window cause (the next present, the last
// hide, SDL's own XDestroyWindow) are ignored instead of ending the process.
// The display itself may go (the X server ends, or kills this client): Xlib then
// calls its fatal I/O error handler from inside whatever call found the broken
// connection, and must not be returned into (its default exits on the spot). This
// layer's handler ends the process through process::EndWithError instead, which
// first completes a recording in progress with the frames already encoded (the
// GL context went with the display), then writes "IOException: ..." naming the
// display and exits with status 1. A connection found broken on another thread
// (a GL worker's) is left to the main thread's next pump; that thread waits.
// SIGHUP (the terminal closed) ends the demo as SIGINT and SIGTERM do, for which
// SDL posts a quit: the window closes, and a recording completes its file. Like
// SDL's own, the handler is installed only where the signal has its default
// action (so `nohup` still ignores it) and not when SDL_NO_SIGNAL_HANDLERS is set.
#include <SDL.h>
#include <SDL_syswm.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "host/errors.h"
#include "host/process.h"
#include "render/gl/gl_window_attributes.h"
#include "window/setup_dialog.h"
#include "window/window.h"

namespace velk {

Window* Window::Current = nullptr;

int32_t Window::VirtualKeyFor(int32_t key) {
    if (key >= 'a' && key <= 'z') return key - 'a' + 'A';
    if (key >= '0' && key <= '9') return key;
    switch (key) {
        case SDLK_ESCAPE: return 0x1B;
        case SDLK_RETURN: case SDLK_KP_ENTER: return 0x0D;
        case SDLK_SPACE: return 0x20;
        case SDLK_TAB: return 0x09;
        case SDLK_BACKSPACE: return 0x08;
        case SDLK_LEFT: return 0x25;
        case SDLK_UP: return 0x26;
        case SDLK_RIGHT: return 0x27;
        case SDLK_DOWN: return 0x28;
        case SDLK_PAGEUP: return 0x21;
        case SDLK_PAGEDOWN: return 0x22;
        case SDLK_END: return 0x23;
        case SDLK_HOME: return 0x24;
        case SDLK_INSERT: return 0x2D;
        case SDLK_DELETE: return 0x2E;
        case SDLK_LSHIFT: case SDLK_RSHIFT: return 0x10;
        case SDLK_LCTRL: case SDLK_RCTRL: return 0x11;
        case SDLK_PAUSE: return 0x13;
        case SDLK_CAPSLOCK: return 0x14;
        default: break;
    }
    if (key >= SDLK_F1 && key <= SDLK_F12) return 0x70 + (key - SDLK_F1);
    return 0;
}

namespace {

// SDL's video drivers that put a window on a screen, comma-separated.
std::string VisibleVideoDrivers() {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    bool waylandReachable = (wayland && *wayland) || (runtime && *runtime);
    std::string list;
    for (int i = 0; i < SDL_GetNumVideoDrivers(); ++i) {
        std::string name = SDL_GetVideoDriver(i);
        if (name == "offscreen" || name == "dummy" || name == "evdev" || (name == "wayland" && !waylandReachable))
            continue;
        list += (list.empty() ? "" : ",") + name;
    }
    return list;
}

#if defined(SDL_VIDEO_DRIVER_X11)
// The X window of the demo window, and whether the X server destroyed it under us.
// Plain statics: Xlib's error handler is process-wide and may run for requests
// issued after the Window object is gone.
Display* gXDisplay = nullptr;
XID gXWindow = 0;
bool gXWindowVanished = false;
XErrorHandler gPreviousXErrorHandler = nullptr;

// Xlib reports a failed request asynchronously; its default handler prints the
// error and exits with status 1. An error about the demo window itself can only
// mean that the window no longer exists; once it is known to be gone, SDL's own
// follow-up requests may also name windows it derived from it (its parent, the
// root it looked up), so every BadWindow and BadDrawable is dropped from then on.
// Every other error goes to the handler that was there before.
int OnXError(Display* display, XErrorEvent* error) {
    if (display == gXDisplay && gXWindow != 0) {
        if (error->resourceid == gXWindow) gXWindowVanished = true;
        if (gXWindowVanished && (error->error_code == BadWindow || error->error_code == BadDrawable ||
                                 error->resourceid == gXWindow))
            return 0;
    }
    return gPreviousXErrorHandler ? gPreviousXErrorHandler(display, error) : 0;
}

bool IsXDestroyOf(const SDL_Event& e) {
    if (e.type != SDL_SYSWMEVENT || gXWindow == 0) return false;
    const SDL_SysWMmsg* msg = e.syswm.msg;
    return msg && msg->subsystem == SDL_SYSWM_X11 && msg->msg.x11.event.type == DestroyNotify &&
           msg->msg.x11.event.xdestroywindow.window == gXWindow;
}

// Called as SDL queues each event, while it is still reading the X events that
// follow: the window counts as gone before SDL handles those.
int NoteXDestroy(void*, SDL_Event* e) {
    if (IsXDestroyOf(*e)) gXWindowVanished = true;
    return 0;
}

// The display whose connection broke, for the main thread to report; set once.
std::atomic<bool> gDisplayLost{false};
char gLostDisplayName[256] = "";
std::thread::id gMainThread;

[[noreturn]] void EndForLostDisplay() {
    process::EndWithError(IOException(std::string("The connection to the display '") + gLostDisplayName +
                                      "' was lost (the X server ended or closed the connection)"));
}

int OnXIOError(Display* display) {
    bool expected = false;
    if (gDisplayLost.compare_exchange_strong(expected, true)) {
        const char* name = display ? DisplayString(display) : nullptr;
        std::strncpy(gLostDisplayName, name ? name : "", sizeof gLostDisplayName - 1);
    }
    if (std::this_thread::get_id() == gMainThread) EndForLostDisplay();
    // Not the main thread: it ends the process at its next pump; this thread never
    // returns into Xlib.
    for (;;) pause();
}

SDL_Window* gWatchedWindow = nullptr;

void WatchXWindow(SDL_Window* window) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11) return;
    gWatchedWindow = window;
    gXDisplay = info.info.x11.display;
    gXWindow = info.info.x11.window;
    gXWindowVanished = false;
    static bool installed = false;
    if (!installed) {
        gPreviousXErrorHandler = XSetErrorHandler(OnXError);
        gMainThread = std::this_thread::get_id();
        XSetIOErrorHandler(OnXIOError);
        SDL_AddEventWatch(NoteXDestroy, nullptr);
        installed = true;
    }
    // SDL hands over the raw X events, DestroyNotify among them.
    SDL_EventState(SDL_SYSWMEVENT, SDL_ENABLE);
}

bool XWindowVanished() { return gXWindowVanished; }

void EndIfDisplayLost() {
    if (gDisplayLost.load()) EndForLostDisplay();
}

// Asks the X server: a window it no longer has fails the query, and the error
// handler above notes that.
bool ProbeXWindow(SDL_Window* window) {
    if (window != gWatchedWindow || gXWindow == 0) return false;
    if (!gXWindowVanished) {
        XWindowAttributes attributes;
        XGetWindowAttributes(gXDisplay, gXWindow, &attributes);
    }
    return gXWindowVanished;
}
#else
void EndIfDisplayLost() {}
void WatchXWindow(SDL_Window*) {}
bool XWindowVanished() { return false; }
bool ProbeXWindow(SDL_Window*) { return false; }
#endif

volatile sig_atomic_t gHangUp = 0;

void OnHangUp(int) { gHangUp = 1; }

// After SDL's own signal handlers are in place (SDL_INIT_VIDEO brings its events).
void HandleHangUpAsTermination() {
    static bool installed = false;
    if (installed || SDL_GetHintBoolean(SDL_HINT_NO_SIGNAL_HANDLERS, SDL_FALSE)) return;
    installed = true;
    struct sigaction current {};
    if (sigaction(SIGHUP, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) return;
    struct sigaction action {};
    action.sa_handler = OnHangUp;
    sigemptyset(&action.sa_mask);
    sigaction(SIGHUP, &action, nullptr);
}

}  // namespace

bool gpu::WindowDestroyedElsewhere(void* window) { return ProbeXWindow(static_cast<SDL_Window*>(window)); }

Window::Window(const std::string& title, int width, int height, bool fullscreen) {
    Current = this;
    if (!SDL_WasInit(SDL_INIT_VIDEO)) {
        // SDL tries its video drivers in turn and, without a display, ends at one
        // that shows nothing: a window there would run unseen. Unless SDL_VIDEODRIVER
        // names the drivers, only those that show something are tried, Wayland only
        // where it can be reached (libwayland writes its own complaint otherwise).
        bool chosenHere = false;
        if (!SDL_GetHint(SDL_HINT_VIDEODRIVER)) {
            std::string drivers = VisibleVideoDrivers();
            if (drivers.empty()) throw InvalidOperationException("CreateWindowEx failed: " + platform::NoDisplayReason());
            SDL_SetHint(SDL_HINT_VIDEODRIVER, drivers.c_str());
            chosenHere = true;
        }
        if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0)
            throw InvalidOperationException("CreateWindowEx failed: " +
                                            (chosenHere ? platform::NoDisplayReason() : std::string(SDL_GetError())));
    }

    HandleHangUpAsTermination();

    // The renderer draws with the GL layer's context on this window.
    gpu::SetContextAttributes();

    SDL_Window* w;
    SDL_ClearError();
    if (fullscreen) {
        SDL_Rect bounds{0, 0, 1280, 720};
        SDL_GetDisplayBounds(0, &bounds);
        w = SDL_CreateWindow(title.c_str(), bounds.x, bounds.y, bounds.w, bounds.h,
                             SDL_WINDOW_OPENGL | SDL_WINDOW_BORDERLESS | SDL_WINDOW_FULLSCREEN_DESKTOP |
                                 SDL_WINDOW_SHOWN | SDL_WINDOW_ALLOW_HIGHDPI);
    } else {
        w = SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, width, height,
                             SDL_WINDOW_OPENGL | SDL_WINDOW_RESIZABLE | SDL_WINDOW_SHOWN | SDL_WINDOW_ALLOW_HIGHDPI);
    }
    if (!w) throw InvalidOperationException(std::string("CreateWindowEx failed: ") + SDL_GetError());
    native_ = w;
    windowId_ = SDL_GetWindowID(w);
    Handle = reinterpret_cast<gpu::NativeWindow>(w);
    WatchXWindow(w);

    // Start with the real client size, whatever the platform made of the request.
    int pw = 0, ph = 0;
    SDL_GetWindowSizeInPixels(w, &pw, &ph);
    Width = pw;
    Height = ph;

    if (fullscreen) SDL_ShowCursor(SDL_DISABLE);
}

Window::~Window() {
    if (native_) SDL_DestroyWindow(static_cast<SDL_Window*>(native_));
    native_ = nullptr;
    if (Current == this) Current = nullptr;
}

void Window::Destroy() {
    if (Handle == 0) return;
    // Gone from the screen at once; the renderer may still present once more into
    // the hidden window, so it is freed only with this object. A window that the
    // X server has already destroyed is not touched again.
    if (!XWindowVanished()) SDL_HideWindow(static_cast<SDL_Window*>(native_));
    Handle = 0;
    quitPosted_ = true;
}

void Window::Dispose() {
    if (Handle != 0) Destroy();
}

void Window::PumpMessages() {
    EndIfDisplayLost();
    if (gHangUp) {
        // The quit that SDL posts for SIGINT and SIGTERM.
        gHangUp = 0;
        SDL_Event quit{};
        quit.type = SDL_QUIT;
        SDL_PushEvent(&quit);
    }
    SDL_Event e;
    while (SDL_PollEvent(&e)) {
        Window* w = Current;
        if (!w) continue;
        switch (e.type) {
            case SDL_WINDOWEVENT:
                if (e.window.windowID != w->windowId_) break;
                switch (e.window.event) {
                    case SDL_WINDOWEVENT_SIZE_CHANGED:
                    case SDL_WINDOWEVENT_RESIZED:
                    case SDL_WINDOWEVENT_RESTORED:
                    case SDL_WINDOWEVENT_MAXIMIZED:
                        if (w->native_ && w->Handle) {
                            int pw = 0, ph = 0;
                            SDL_GetWindowSizeInPixels(static_cast<SDL_Window*>(w->native_), &pw, &ph);
                            w->Width = pw;
                            w->Height = ph;
                        }
                        break;
                    case SDL_WINDOWEVENT_MINIMIZED:
                        w->Width = 0;
                        w->Height = 0;
                        break;
                    case SDL_WINDOWEVENT_CLOSE:
                        w->Destroy();  // the frame's close: destroyed as by default
                        break;
                    default:
                        break;
                }
                break;
            case SDL_KEYDOWN:
                if (e.key.windowID != 0 && e.key.windowID != w->windowId_) break;
                if (e.key.keysym.mod & KMOD_ALT) {
                    // A system key: never queued; Alt+F4 closes the window.
                    if (e.key.keysym.sym == SDLK_F4) w->Destroy();
                    break;
                }
                if (int32_t vk = VirtualKeyFor(e.key.keysym.sym)) w->Keys.push_back(vk);
                break;
            case SDL_QUIT:
                // An outside request to end (a signal, the session): close as from the frame.
                w->Destroy();
                break;
            default:
                break;
        }
    }
    // Destroyed by another program (its DestroyNotify came, or requests on it
    // failed): as if closed.
    if (Handle != 0 && XWindowVanished()) Destroy();
    // The quit that a destruction posted is taken once the waiting events are handled.
    if (quitPosted_) IsOpen = false;
}

}  // namespace velk
