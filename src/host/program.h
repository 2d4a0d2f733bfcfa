// The program's entry: command line, launch decisions, start-up order and the
// ordered shutdown.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "window/video_mode.h"

namespace velk {

// The command-line arguments (without the executable's path). Tokens match whole
// arguments exactly. A flag counts wherever it stands, also as another option's
// value; an option's value is the argument right after its first occurrence, and
// an option that is the last argument counts as absent.
class CommandLine {
public:
    explicit CommandLine(std::vector<std::string> args) : args_(std::move(args)) {}
    bool Has(std::string_view token) const;
    std::optional<std::string> Value(std::string_view option) const;
    const std::vector<std::string>& Args() const { return args_; }

private:
    std::vector<std::string> args_;
};

// Launch decisions 1 and 2, taken from the command line before any dialog.
struct LaunchDecisions {
    bool FullScreen = true;
    bool ShowDialog = true;
    std::optional<std::string> RecordPath;
};
LaunchDecisions DecideLaunch(const CommandLine& commandLine);

// Decisions 3 to 5, once the dialog has (or has not) returned a mode.
struct WindowPlan {
    bool FullScreen = true;
    int Width = 1280;  // requested client size
    int Height = 720;
    std::optional<std::pair<int, int>> FixedSize;  // the renderer's fixed render size
};
WindowPlan PlanWindow(const LaunchDecisions& decisions, const std::optional<VideoMode>& mode);

class Program {
public:
    // Runs the demo with the process's arguments; returning means exit status 0.
    static void Main(const std::vector<std::string>& args);

    // Bytes of "Artifacts/Graphics/" + fileName.
    static std::vector<uint8_t> ReadGraphic(std::string_view fileName);
    // The text with its UTF-16 code units in reverse order.
    static std::string Reverse(std::string_view text);
};

}  // namespace velk
