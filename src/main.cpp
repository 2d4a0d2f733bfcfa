// Process entry. Catches nothing: an uncaught error ends the process at once with
// "Kind: message" on standard error and exit status 1, releasing nothing.
#include <cstdio>
#include <string>
#include <vector>

#include "host/process.h"
#include "host/program.h"

int main(int argc, char** argv) {
    velk::process::InstallUncaughtErrorHandler();
    std::vector<std::string> args = velk::process::Start(argc, argv);
    velk::Program::Main(args);
    std::fflush(stdout);
    return 0;
}
