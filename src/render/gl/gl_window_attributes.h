// The OpenGL layer's window requirements: every window it draws into (the demo
// window and its own hidden one) must be made after this call, so that they all
// share one pixel format and an OpenGL 4.5 core context fits each.
#pragma once

namespace velk::gpu {

void SetContextAttributes();

// Whether the window (an SDL window) no longer exists because another program
// destroyed it; answered by the window layer, which asks the display server.
bool WindowDestroyedElsewhere(void* window);

}  // namespace velk::gpu
