#include "host/process.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>

#include "host/errors.h"

namespace velk::process {
namespace {

std::function<void()> gCompletion;

[[noreturn]] void WriteAndExit(const Exception& error) {
    std::fprintf(stderr, "%s: %s\n", error.Kind(), error.what());
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(1);
}

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

void EndWithError(const Exception& error) {
    // The completion runs once: should it meet the same loss again, the process
    // ends with the first error all the same.
    if (std::function<void()> complete = std::move(gCompletion)) {
        gCompletion = nullptr;
        try {
            complete();
        } catch (const Exception& failed) {
            std::fprintf(stderr, "%s: %s\n", failed.Kind(), failed.what());
        } catch (const std::exception& failed) {
            std::fprintf(stderr, "Exception: %s\n", failed.what());
        }
    }
    WriteAndExit(error);
}

CompletionOnFatalError::CompletionOnFatalError(std::function<void()> complete) { gCompletion = std::move(complete); }

CompletionOnFatalError::~CompletionOnFatalError() { gCompletion = nullptr; }

}  // namespace velk::process
