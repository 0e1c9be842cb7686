// Pictures of windows for the documentation and for looking at what a test saw.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

namespace flashwell::test {

// Writes the window, frame included, as a 24-bit BMP file; false when nothing could be taken.
bool SaveWindowBmp(HWND window, const std::string& path);

} // namespace flashwell::test
