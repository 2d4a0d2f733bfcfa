// The process around Program::Main: the main thread's preparation, the
// command-line arguments as UTF-8, and the path of an error nothing caught.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace velk {
class Exception;
}

namespace velk::process {

// Prepares the main thread before the start-up code runs (on Windows it joins
// COM's multithreaded apartment) and returns the command-line arguments as UTF-8,
// split by the platform's rules, without the executable's own path.
std::vector<std::string> Start(int argc, char** argv);

// From now on an error that nothing catches writes "Kind: message" to standard
// error and ends the process with status 1 at once, releasing nothing.
void InstallUncaughtErrorHandler();

// Ends the process for an error found where it cannot be raised: inside the
// platform's own code, which must not be returned into (Xlib after the display
// connection is lost). Runs the completion set below, if any, then writes
// "Kind: message" to standard error and exits with status 1, as for an uncaught
// error. Main thread only.
[[noreturn]] void EndWithError(const Exception& error);

// The one piece of work that EndWithError still does before the process ends:
// while a recording runs, completing its file with the frames already encoded.
// It must not use the platform's display or GPU. Set and cleared on the main thread.
class CompletionOnFatalError {
public:
    explicit CompletionOnFatalError(std::function<void()> complete);
    ~CompletionOnFatalError();
    CompletionOnFatalError(const CompletionOnFatalError&) = delete;
    CompletionOnFatalError& operator=(const CompletionOnFatalError&) = delete;
};

}  // namespace velk::process
