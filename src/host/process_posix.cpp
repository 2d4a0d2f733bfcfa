// The process on Linux: the arguments are the bytes the system passed (UTF-8).
#include "host/process.h"

namespace velk::process {

std::vector<std::string> Start(int argc, char** argv) { return std::vector<std::string>(argv + 1, argv + argc); }

}  // namespace velk::process
