// flashwell-bmp2png IN.bmp OUT.png: turns the uncompressed 24-bit BMP captures of the Windows
// window test into PNG files on the build machine. Other BMP forms are refused.
#include "png_file.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return std::uint32_t{b[at]} | (std::uint32_t{b[at + 1]} << 8) |
           (std::uint32_t{b[at + 2]} << 16) | (std::uint32_t{b[at + 3]} << 24);
}
std::uint16_t Le16(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

int Fail(const char* in, const char* why) {
    std::fprintf(stderr, "flashwell-bmp2png: %s: %s\n", in, why);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: flashwell-bmp2png IN.bmp OUT.png\n");
        return 2;
    }
    std::ifstream input(argv[1], std::ios::binary);
    if (!input) return Fail(argv[1], "cannot be read");
    const std::vector<std::uint8_t> b{std::istreambuf_iterator<char>(input), {}};
    if (b.size() < 54 || b[0] != 'B' || b[1] != 'M') return Fail(argv[1], "not a BMP file");
    const std::uint32_t offset = Le32(b, 10);
    const auto width = static_cast<std::int32_t>(Le32(b, 18));
    const auto rawHeight = static_cast<std::int32_t>(Le32(b, 22));
    if (Le16(b, 28) != 24 || Le32(b, 30) != 0)
        return Fail(argv[1], "not an uncompressed 24-bit BMP");
    if (width <= 0 || width > 16384 || rawHeight == 0 || rawHeight < -16384 || rawHeight > 16384)
        return Fail(argv[1], "implausible size");
    const bool bottomUp = rawHeight > 0;
    const int height = bottomUp ? rawHeight : -rawHeight;
    const std::size_t rowBytes = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3};
    if (offset > b.size() || b.size() - offset < rowBytes * static_cast<std::size_t>(height))
        return Fail(argv[1], "pixel data cut short");

    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        const int stored = bottomUp ? height - 1 - y : y;
        const std::uint8_t* row = b.data() + offset + rowBytes * static_cast<std::size_t>(stored);
        std::uint8_t* out = rgb.data() + static_cast<std::size_t>(y) * width * 3;
        for (int x = 0; x < width; ++x) {
            out[3 * x] = row[3 * x + 2];
            out[3 * x + 1] = row[3 * x + 1];
            out[3 * x + 2] = row[3 * x];
        }
    }
    if (!flashwell::png::WriteRgbPng(argv[2], width, height, rgb))
        return Fail(argv[2], "cannot be written");
    return 0;
}
