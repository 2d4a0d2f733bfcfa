// Process entry. Catches nothing: an uncaught error ends the process at once with
// "Kind: message" on standard error and exit status 1, releasing nothing.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "host/errors.h"
#include "host/program.h"

namespace {

[[noreturn]] void OnUncaughtError() {
    if (std::exception_ptr e = std::current_exception()) {
        try {
            std::rethrow_exception(e);
        } catch (const velk::Exception& ex) {
            std::fprintf(stderr, "%s: %s\n", ex.Kind(), ex.what());
        } catch (const std::exception& ex) {
            std::fprintf(stderr, "Exception: %s\n", ex.what());
        } catch (...) {
            std::fprintf(stderr, "Exception: unknown error\n");
        }
    } else {
        std::fprintf(stderr, "Exception: terminated\n");
    }
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    std::set_terminate(OnUncaughtError);
    std::vector<std::string> args(argv + 1, argv + argc);
    velk::Program::Main(args);
    std::fflush(stdout);
    return 0;
}
