// Entry of the Windows test executable. Wine can report exit status 0 for a process
// that crashed, so a crash or an escaping exception is turned into a message and a
// non-zero exit here instead of being left to the system.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <exception>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* info) {
    std::fprintf(stderr, "Unhandled exception 0x%08lX at %p\n",
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode),
                 info->ExceptionRecord->ExceptionAddress);
    std::fflush(stdout);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

[[noreturn]] void OnTerminate() {
    std::fprintf(stderr, "Uncaught C++ exception or std::terminate\n");
    std::fflush(stdout);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    std::_Exit(3);
}

}  // namespace

int main(int argc, char** argv) {
    SetUnhandledExceptionFilter(OnUnhandledException);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    std::set_terminate(OnTerminate);
    // As in the program, the main thread is in COM's multithreaded apartment.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    testing::InitGoogleMock(&argc, argv);
    int result = RUN_ALL_TESTS();
    std::fflush(stdout);
    std::fflush(stderr);
    return result;
}
