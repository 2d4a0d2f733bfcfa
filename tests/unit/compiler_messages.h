// Where an HLSL compiler's messages point. Microsoft's D3DCompile writes
// "<name>(<line>,<column>): error X....: <text>"; the D3DCompile that Wine ships
// (vkd3d-shader's compiler) writes "<name>:<line>:<column>: E....: <text>", at times
// with a second line about the same fault; the GL layer writes
// "<name>(<line>): error: <text>".
#pragma once

#include <sstream>
#include <string>

namespace velk::testing {

// True when `message` starts with the source's name and then the line, in a form
// of the platform's compiler.
inline bool MessageAt(const std::string& message, const std::string& name, int line) {
    const std::string n = std::to_string(line);
#ifdef _WIN32
    return message.rfind(name + "(" + n + ",", 0) == 0 || message.rfind(name + ":" + n + ":", 0) == 0;
#else
    return message.rfind(name + "(" + n + "): error: ", 0) == 0;
#endif
}

// How many lines of `messages` point at the line and name `what`: the faults
// reported there, whatever further lines a compiler adds about each.
inline size_t FaultsAt(const std::string& messages, const std::string& name, int line, const std::string& what) {
    std::istringstream in(messages);
    size_t count = 0;
    for (std::string l; std::getline(in, l);)
        if (MessageAt(l, name, line) && l.find(what) != std::string::npos) ++count;
    return count;
}

}  // namespace velk::testing
