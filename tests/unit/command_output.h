// Standard output of a shell command, for the tests that look at what they wrote
// with ffprobe and ffmpeg.
#pragma once

#include <cstdio>
#include <string>

namespace velk::test {

inline std::string CommandOutput(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out;
}

}  // namespace velk::test
