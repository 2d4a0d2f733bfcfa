// Opens the demo window ("-f" full screen, else windowed at 1280 x 720) and runs
// the host's pass over it until it is closed: prints "size W H" at the start,
// "key N" for every queued code (Escape destroys the window, as the host does),
// "destroyed" when the handle turns 0 and "closed" when the quit arrived.
#include <cstdio>
#include <string>

#include "host/clock.h"
#include "host/process.h"
#include "window/window.h"

int main(int argc, char** argv) {
    velk::process::InstallUncaughtErrorHandler();
    std::vector<std::string> args = velk::process::Start(argc, argv);
    bool fullscreen = !args.empty() && args[0] == "-f";
    velk::Window window("tovelmark velk", 1280, 720, fullscreen);
    std::printf("size %d %d\n", window.Width, window.Height);
    std::fflush(stdout);
    bool reported = false;
    while (window.IsOpen) {
        window.PumpMessages();
        while (!window.Keys.empty()) {
            int32_t key = window.Keys.front();
            window.Keys.pop_front();
            std::printf("key %d\n", key);
            if (key == 27 && window.Handle != 0) window.Destroy();
        }
        if (window.Handle == 0 && !reported) {
            std::printf("destroyed\n");
            reported = true;
        }
        std::fflush(stdout);
        velk::platform::Sleep(10);
    }
    std::printf("closed\n");
    return 0;
}
