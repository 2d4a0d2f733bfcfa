// Shows the setup dialog with the project's font and prints what it returned:
// "none" or "W H windowed|fullscreen". For the dialog's end-to-end test.
#include <cstdio>

#include "host/content.h"
#include "window/setup_dialog.h"

int main() {
    auto font = velk::Content::Read("Artifacts/Fonts/velk_stencil/VelkStencil.ttf");
    auto mode = velk::SetupDialog::Show(font);
    if (!mode)
        std::printf("none\n");
    else
        std::printf("%d %d %s\n", mode->Width, mode->Height, mode->Windowed ? "windowed" : "fullscreen");
    return 0;
}
