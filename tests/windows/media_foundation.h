// What the Windows tests observe of Media Foundation's start-up count.
#pragma once

#include <windows.h>
#include <mfapi.h>

namespace velk::test {

// True while MFStartup has been called more often than MFShutdown in this process:
// a work queue can be allocated only then (otherwise MF_E_SHUTDOWN).
inline bool MediaFoundationStarted() {
    DWORD queue = 0;
    if (FAILED(MFAllocateWorkQueue(&queue))) return false;
    MFUnlockWorkQueue(queue);
    return true;
}

// Whether Media Foundation is shut down within two seconds: under Wine the
// platform's own work can hold it a few milliseconds after the last MFShutdown.
inline bool MediaFoundationShutsDown() {
    for (int i = 0; i < 200; ++i) {
        if (!MediaFoundationStarted()) return true;
        Sleep(10);
    }
    return false;
}

}  // namespace velk::test
