// Benchmark of the offline recorder: records 300 frames of the demo with its sound
// at 1920x1080 and at 1280x720 (60 fps) into a temporary file and prints the frames
// per second with the shares of drawing, read-back and encoding.
//
// The shares come from three timed runs of the same frames: the recorder itself;
// the draw, copy and blocking read of each frame alone; and the copy and read
// alone. Drawing is the second minus the third, encoding (video and sound) the
// first minus the second. Run from the build tree (the demo is read from the
// source tree) with a display and an audio device, e.g. scripts/bench.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "host/errors.h"
#include "media/music.h"
#include "media/recorder.h"
#include "media/recorder_timing.h"
#include "render/renderer.h"

using namespace velk;
using Steady = std::chrono::steady_clock;

namespace {

double Since(Steady::time_point start) { return std::chrono::duration<double>(Steady::now() - start).count(); }

// Draws the frame into the recorder's target and reads it back, as RecordFrame does.
void DrawAndRead(Recorder& r, int64_t frame, std::vector<uint8_t>& rows, bool draw) {
    if (draw)
        r.Renderer.DrawScene(r.Renderer.PixelShader.get(), r.TargetView.get(), r.Width, r.Height,
                             recording::Seconds(frame, r.Fps));
    r.Renderer.Context->CopyResource(*r.Staging, *r.Target);
    gpu::MappedSubresource m = r.Renderer.Context->Map(*r.Staging, 0, gpu::MapType::Read);
    size_t rowBytes = size_t(r.Width) * 4;
    for (int y = 0; y < r.Height; ++y)
        std::memcpy(rows.data() + y * rowBytes, static_cast<uint8_t*>(m.Data) + size_t(y) * m.RowPitch, rowBytes);
    r.Renderer.Context->Unmap(*r.Staging, 0);
}

void Bench(Renderer& renderer, Music* music, int width, int height, int fps, int frames, double fromSeconds) {
    std::string path = "/tmp/velk-bench-" + std::to_string(getpid()) + ".mp4";
    Recorder recorder(renderer, music, path, width, height, fps);
    const int64_t first = static_cast<int64_t>(fromSeconds * fps);
    std::vector<uint8_t> rows(size_t(width) * height * 4);
    DrawAndRead(recorder, first, rows, true);  // the shader's first draw compiles it

    auto start = Steady::now();
    for (int i = 0; i < frames; ++i) DrawAndRead(recorder, first + i, rows, true);
    double drawRead = Since(start);
    start = Steady::now();
    for (int i = 0; i < frames; ++i) DrawAndRead(recorder, first + i, rows, false);
    double read = Since(start);
    recorder.FrameIndex = first;
    start = Steady::now();
    for (int i = 0; i < frames; ++i) recorder.RecordFrame();
    recorder.Dispose();  // drains the encoders: part of the cost
    double total = Since(start);
    std::remove(path.c_str());

    double draw = drawRead - read, encode = total - drawRead;
    auto ms = [&](double s) { return 1000.0 * s / frames; };
    auto pct = [&](double s) { return 100.0 * s / total; };
    std::printf("%dx%d at %d fps from %.1f s: %d frames in %.2f s, %.2f frames/s; per frame %.1f ms: "
                "drawing %.1f ms (%.0f%%), read-back %.1f ms (%.0f%%), encoding %.1f ms (%.0f%%)\n",
                width, height, fps, fromSeconds, frames, total, frames / total, ms(total), ms(draw), pct(draw),
                ms(read), pct(read), ms(encode), pct(encode));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        double from = argc > 1 ? std::atof(argv[1]) : 0.0;  // demo time of the first frame
        int frames = argc > 2 ? std::atoi(argv[2]) : 300;
        Renderer renderer(0, 1920, 1080);
        std::unique_ptr<Music> music = Music::Load("Artifacts/Audio");
        Bench(renderer, music.get(), 1920, 1080, 60, frames, from);
        Bench(renderer, music.get(), 1280, 720, 60, frames, from);
        if (music) music->Dispose();
        renderer.Dispose();
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s: %s\n", e.Kind(), e.what());
        return 1;
    }
    return 0;
}
