#include "png_file.h"

#include <png.h>

#include <cstdio>

namespace flashwell::png {

namespace {

// libpng reports errors by longjmp. Everything that changes after the setjmp lives in this
// function's callees, so no local of the function holding the setjmp can be clobbered.
void EncodeRows(png_structp png, png_infop info, std::FILE* file, int width, int height,
                const std::uint8_t* rgb) {
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    for (int y = 0; y < height; ++y)
        png_write_row(png, rgb + static_cast<std::size_t>(y) * rowBytes);
    png_write_end(png, nullptr);
}

bool Encode(png_structp png, png_infop info, std::FILE* file, int width, int height,
            const std::uint8_t* rgb) {
    if (setjmp(png_jmpbuf(png)) != 0) return false;
    EncodeRows(png, info, file, width, height, rgb);
    return true;
}

} // namespace

bool WriteRgbPng(const std::string& path, int width, int height,
                 std::span<const std::uint8_t> rgb) {
    if (width <= 0 || height <= 0) return false;
    if (rgb.size() < static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3)
        return false;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    const bool ok = info != nullptr && Encode(png, info, file, width, height, rgb.data());
    png_destroy_write_struct(&png, &info);
    const bool closed = std::fclose(file) == 0;
    if (!(ok && closed)) std::remove(path.c_str());
    return ok && closed;
}

} // namespace flashwell::png
