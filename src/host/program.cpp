#include "host/program.h"

#include <algorithm>
#include <iostream>
#include <limits>
#include <memory>

#include "host/clock.h"
#include "host/content.h"
#include "host/interactive_loop.h"
#include "host/record_loop.h"
#include "host/text.h"
#include "host/texture_table.h"
#include "media/music.h"
#include "media/recorder.h"
#include "render/renderer.h"
#include "window/setup_dialog.h"
#include "window/window.h"

namespace velk {

bool CommandLine::Has(std::string_view token) const {
    return std::find(args_.begin(), args_.end(), token) != args_.end();
}

std::optional<std::string> CommandLine::Value(std::string_view option) const {
    auto it = std::find(args_.begin(), args_.end(), option);
    if (it == args_.end() || it + 1 == args_.end()) return std::nullopt;
    return *(it + 1);
}

LaunchDecisions DecideLaunch(const CommandLine& cl) {
    LaunchDecisions d;
    d.RecordPath = cl.Value("--record");
    d.FullScreen = true;
    if (cl.Has("-w")) d.FullScreen = false;
    if (cl.Has("-f")) d.FullScreen = true;
    if (d.RecordPath) d.FullScreen = false;
    if (cl.Has("--setup"))
        d.ShowDialog = true;
    else if (cl.Has("-w") || cl.Has("-f"))
        d.ShowDialog = false;
    else
        d.ShowDialog = !d.RecordPath.has_value();
    return d;
}

WindowPlan PlanWindow(const LaunchDecisions& d, const std::optional<VideoMode>& mode) {
    WindowPlan p;
    p.FullScreen = d.FullScreen;
    if (mode) {
        p.FullScreen = !mode->Windowed;
        p.Width = mode->Width;
        p.Height = mode->Height;
        if (!mode->Windowed) p.FixedSize = std::make_pair(mode->Width, mode->Height);
    }
    return p;
}

std::vector<uint8_t> Program::ReadGraphic(std::string_view fileName) {
    return Content::Read("Artifacts/Graphics/" + std::string(fileName));
}

std::string Program::Reverse(std::string_view s) {
    std::u16string u = text::Utf8ToUtf16(s);
    std::reverse(u.begin(), u.end());
    return text::Utf16ToUtf8(u);
}

void Program::Main(const std::vector<std::string>& args) {
    // 1. The font, first of all: also the first use of Content, which decides
    //    between the embedded assets and the source tree.
    std::vector<uint8_t> fontBytes = Content::Read("Artifacts/Fonts/velk_stencil/VelkStencil.ttf");

    // 2. Launch decisions 1 and 2.
    CommandLine commandLine(args);
    LaunchDecisions decisions = DecideLaunch(commandLine);

    // 3. The setup dialog (when shown): quitting it ends the run before any window opens.
    std::optional<VideoMode> mode;
    if (decisions.ShowDialog) {
        mode = SetupDialog::Show(fontBytes);
        if (!mode) return;
    }
    WindowPlan plan = PlanWindow(decisions, mode);

    // 4. The demo window.
    Window window("tovelmark velk", plan.Width, plan.Height, plan.FullScreen);

    // 5. The renderer on the window's real client size.
    Renderer renderer(window.Handle, window.Width, window.Height);

    // 6. A full-screen mode of the dialog is the fixed render size.
    if (plan.FixedSize) renderer.FixedSize = plan.FixedSize;

    // 7. The twenty textures, handed to the renderer in slot order.
    TextureTable textures = TextureTable::Make(*renderer.Device, *renderer.Context, fontBytes);
    renderer.TextureViews = textures.SlotOrder();

    // 8. The soundtrack: the first ".mp3" of the folder, or none.
    std::unique_ptr<Music> music = Music::Load("Artifacts/Audio");

    // 9. The loop. The record loop disposes of its recorder, which completes the file.
    if (decisions.RecordPath)
        RunRecordLoop<Recorder>(window, renderer, music.get(), commandLine, *decisions.RecordPath, std::cout);
    else
        RunInteractiveLoop(window, renderer, music.get());

    // 10. Shutdown, in the reverse order of creation. After a recording that reached
    //     its length the window is still there.
    if (music) music->Dispose();
    renderer.TextureViews.clear();  // the renderer only binds them; the host releases them
    textures.Release();
    renderer.Dispose();
    if (window.Handle != 0) window.Destroy();
}

}  // namespace velk
