// Writes pictures as PNG files with libpng: the window tests' screenshots, and the Windows
// window test's BMP captures turned into PNG on the build machine.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace flashwell::png {

// rgb holds height rows of width pixels, three bytes each, top row first.
bool WriteRgbPng(const std::string& path, int width, int height, std::span<const std::uint8_t> rgb);

} // namespace flashwell::png
