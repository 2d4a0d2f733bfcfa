#include "host/process.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "host/errors.h"

namespace velk::process {
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

void InstallUncaughtErrorHandler() { std::set_terminate(OnUncaughtError); }

}  // namespace velk::process
