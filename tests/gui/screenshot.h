// Saves what a window shows as a PNG file, for a person to look at after the tests.
#pragma once

#include "ui/fltk/fltk_ui.h"

#include <string>

namespace flashwell::testing {

// Writes the picture to FLASHWELL_SCREENSHOT_DIR/<name>.png; returns the path ("" on failure).
std::string SavePng(const ui::RgbImage& image, const std::string& name);

} // namespace flashwell::testing
