// The process on Windows.
//
// The main thread joins COM's multithreaded apartment before anything else runs.
// The arguments come from the wide command line (CommandLineToArgvW) and are
// converted to UTF-8, since the C runtime's narrow argv is in the ANSI code page.
// The executable is a GUI program: its standard streams are connected when the
// parent hands it redirected handles, which the C runtime takes up by itself.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include "host/errors.h"
#include "host/process.h"
#include "host/wide_text_windows.h"

namespace velk::process {

std::vector<std::string> Start(int, char**) {
    ThrowIfFailed(CoInitializeEx(nullptr, COINIT_MULTITHREADED), "CoInitializeEx");

    std::vector<std::string> args;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!argv) return args;
    for (int i = 1; i < count; ++i) args.push_back(text::Narrow(argv[i]));
    LocalFree(argv);
    return args;
}

}  // namespace velk::process
