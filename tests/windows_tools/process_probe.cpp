// A GUI-subsystem program for the process tests: prints its arguments (UTF-8, one
// per line, in hex so the bytes survive any console), a line on standard error and
// the main thread's COM apartment type; with "throw" as its first argument it then
// raises an error that nothing catches.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>

#include "host/errors.h"
#include "host/process.h"

int main(int argc, char** argv) {
    velk::process::InstallUncaughtErrorHandler();
    std::vector<std::string> args = velk::process::Start(argc, argv);
    for (const std::string& a : args) {
        std::printf("arg");
        for (unsigned char c : a) std::printf(" %02x", c);
        std::printf("\n");
    }
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    if (SUCCEEDED(CoGetApartmentType(&type, &qualifier))) std::printf("apartment %d\n", static_cast<int>(type));
    std::fprintf(stderr, "to standard error\n");
    if (!args.empty() && args[0] == "throw") throw velk::InvalidOperationException("CreateWindowEx failed: 1407");
    std::fflush(stdout);
    return 0;
}
