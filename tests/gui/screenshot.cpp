#include "screenshot.h"

#include "png_file.h"

#include <filesystem>

namespace flashwell::testing {

std::string SavePng(const ui::RgbImage& image, const std::string& name) {
    if (image.width <= 0 || image.height <= 0) return {};
    const std::filesystem::path dir = FLASHWELL_SCREENSHOT_DIR;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const std::string path = (dir / (name + ".png")).string();
    return png::WriteRgbPng(path, image.width, image.height, image.pixels) ? path : std::string();
}

} // namespace flashwell::testing
