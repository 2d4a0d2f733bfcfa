// Shows the setup dialog with the project's font and prints what it returned:
// "none" or "W H windowed|fullscreen". Driven from the Windows end-to-end test.
#include <cstdio>

#include "host/content.h"
#include "host/process.h"
#include "window/setup_dialog.h"

int main(int argc, char** argv) {
    velk::process::InstallUncaughtErrorHandler();
    velk::process::Start(argc, argv);
    auto font = velk::Content::Read("Artifacts/Fonts/velk_stencil/VelkStencil.ttf");
    auto mode = velk::SetupDialog::Show(font);
    if (!mode)
        std::printf("none\n");
    else
        std::printf("%d %d %s\n", mode->Width, mode->Height, mode->Windowed ? "windowed" : "fullscreen");
    return 0;
}
