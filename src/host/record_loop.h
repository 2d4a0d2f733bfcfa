// Offline recording: the demo drawn frame after frame at a fixed size and rate
// into a video file, with the soundtrack, as fast as that goes.
//
// The options "--size" (width "x" height), "--fps" and "--length" (seconds) are
// read here with the number rules below, which ignore the machine's language
// settings. The demo time of a frame is its number divided by the rate, never a
// clock. The window stays open as a preview of every tenth frame; Escape or
// closing it ends the recording early, and the file is finalised either way.
//
// The loop is a template over the window, renderer, music and recorder it
// drives, so that it runs unchanged with the real objects and with test doubles.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "host/errors.h"
#include "host/files.h"
#include "host/process.h"
#include "host/program.h"

namespace velk {

// An integer: optional white space around an optional "+" or "-" and one or more
// decimal digits. FormatException for any other text, OverflowException beyond
// the 32-bit range.
int32_t ParseInt32(std::string_view text);

// A single-precision number: optional white space around an optional sign and
// decimal digits, with "," group separators ignored after the first digit of the
// integer part, an optional "." fraction and an optional exponent; or "Infinity"
// or "NaN" in any letter case. A value too large becomes infinite. FormatException
// for any other text.
float ParseSingle(std::string_view text);

// The "--size" value split at every "x" (empty parts kept), each part an integer.
// A part's FormatException or OverflowException names the part and the whole value.
std::vector<int32_t> ParseSizeParts(std::string_view text);

// The shortest text that reads back as the same single-precision value: "60",
// "182.8", "1E+09", "5E-05", "-0", "Infinity", "NaN".
std::string SingleText(float value);

// Decimal text of an integer.
std::string IntegerText(int64_t value);

// The seconds rounded to a whole number, halves away from zero, written in full
// ("-0" never appears); NaN gives "NaN", the infinities "Infinity" and "-Infinity".
std::string RoundedSecondsText(float seconds);

// The record loop as the host runs it, from reading the options to the recorder's
// disposal. `music` may be null. RecorderT is made as
// RecorderT(renderer, music, absolute path, width, height, fps).
template <class RecorderT, class WindowT, class RendererT, class MusicT>
void RunRecordLoop(WindowT& window, RendererT& renderer, MusicT* music, const CommandLine& commandLine,
                   const std::string& recordPath, std::ostream& out) {
    // The options, in the order size, rate, length.
    const std::string sizeText = commandLine.Value("--size").value_or("1920x1080");
    std::vector<int32_t> size = ParseSizeParts(sizeText);
    int32_t fps = ParseInt32(commandLine.Value("--fps").value_or("60"));
    float length;
    if (auto text = commandLine.Value("--length"))
        length = ParseSingle(*text);
    else
        length = renderer.DemoEnd() + 0.3f;

    // The fade window, once: a shader reloaded later moves neither it nor the length.
    if (music) {
        music->FadeStart = static_cast<double>(renderer.FinalFadeStart());
        music->FadeEnd = static_cast<double>(renderer.DemoEnd());
    }

    std::string path = files::FullPath(recordPath);
    if (size.size() < 2)
        throw IndexOutOfRangeException("The recording size '" + sizeText +
                                       "' needs a width and a height, as in 1920x1080");
    int32_t width = size[0], height = size[1];
    // No picture has a size of 0 or below; said here, in the user's words, before
    // the file is made (the platform would see the value as a huge unsigned one).
    if (width <= 0 || height <= 0)
        throw ArgumentOutOfRangeException("The recording size '" + sizeText +
                                          "' needs a width and a height of at least 1");

    RecorderT recorder(renderer, music, path, width, height, fps);
    // Should the platform end the process while frames are made (the display
    // connection lost), the frames encoded so far still become a complete file.
    std::optional<process::CompletionOnFatalError> completion;
    completion.emplace([&recorder] { recorder.CompleteWithoutGpu(); });
    out << "Recording " << SingleText(length) << " s at " << IntegerText(width) << "x" << IntegerText(height)
        << ", " << IntegerText(fps) << " fps to " << path << "\n"
        << std::flush;

    // A progress line after the first frame and then every ten seconds of video. The
    // product is a 32-bit one; a product of 0 (a rate of 0) gives no lines.
    const int32_t progressFrames = static_cast<int32_t>(uint32_t(10) * static_cast<uint32_t>(fps));
    for (int64_t frame = 0; length > recorder.Seconds(); ++frame) {
        if (!window.IsOpen) break;
        window.PumpMessages();
        while (!window.Keys.empty()) {
            int32_t key = window.Keys.front();
            window.Keys.pop_front();
            if (key == 27 && window.Handle != 0) window.Destroy();
        }
        if (frame % 10 == 0 && window.Width > 0 && window.Height > 0)
            renderer.Render(window.Width, window.Height, recorder.Seconds());
        recorder.RecordFrame();
        if (progressFrames != 0 && frame % progressFrames == 0)
            out << "  " << RoundedSecondsText(recorder.Seconds()) << " s\n" << std::flush;
    }
    completion.reset();
    out << "Done.\n" << std::flush;
    recorder.Dispose();
}

}  // namespace velk
