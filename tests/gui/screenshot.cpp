#include "screenshot.h"

#include <png.h>

#include <cstdio>
#include <filesystem>

namespace flashwell::testing {

std::string SavePng(const ui::RgbImage& image, const std::string& name) {
    if (image.width <= 0 || image.height <= 0) return {};
    const std::filesystem::path dir = FLASHWELL_SCREENSHOT_DIR;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const std::string path = (dir / (name + ".png")).string();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return {};
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    bool ok = png != nullptr && info != nullptr;
    if (ok && setjmp(png_jmpbuf(png)) != 0) ok = false;
    if (ok) {
        png_init_io(png, file);
        png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
                     static_cast<png_uint_32>(image.height), 8, PNG_COLOR_TYPE_RGB,
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        for (int y = 0; y < image.height; ++y)
            png_write_row(png, image.pixels.data() + static_cast<std::size_t>(y) * image.width * 3);
        png_write_end(png, nullptr);
    }
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return ok ? path : std::string();
}

} // namespace flashwell::testing
