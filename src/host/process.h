// The process around Program::Main: the main thread's preparation, the
// command-line arguments as UTF-8, and the path of an error nothing caught.
#pragma once

#include <string>
#include <vector>

namespace velk::process {

// Prepares the main thread before the start-up code runs (on Windows it joins
// COM's multithreaded apartment) and returns the command-line arguments as UTF-8,
// split by the platform's rules, without the executable's own path.
std::vector<std::string> Start(int argc, char** argv);

// From now on an error that nothing catches writes "Kind: message" to standard
// error and ends the process with status 1 at once, releasing nothing.
void InstallUncaughtErrorHandler();

}  // namespace velk::process
