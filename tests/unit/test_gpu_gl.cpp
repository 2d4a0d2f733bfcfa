// The GPU layer and its HLSL compiler against the real OpenGL device (needs an X
// display; ctest runs under Xvfb): the shared cases of gpu_layer_contract.h.
#include <cstdlib>
#include <string>

#define VELK_GPU_SUITE GpuGl
#define VELK_GPU_REQUIRE_DEVICE() \
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no display"
#define VELK_GPU_SKIP_WHERE_LIMITED(reason) (void)(reason)
// glslang's messages, as the layer turns them: "<name>(<line>): error: <text>".
#define VELK_GPU_EXPECT_MESSAGE_AT(errors, name, line)                                                  \
    EXPECT_EQ((errors).rfind(std::string(name) + "(" + std::to_string(line) + "): error: ", 0), 0u) << (errors)

#include "gpu_layer_contract.h"
