#include "screenshot.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace flashwell::test {

namespace {

void Put16(std::vector<unsigned char>& out, std::uint16_t v) {
    out.push_back(static_cast<unsigned char>(v & 0xFF));
    out.push_back(static_cast<unsigned char>(v >> 8));
}
void Put32(std::vector<unsigned char>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned char>((v >> (8 * i)) & 0xFF));
}

// Whether the picture holds more than one colour: an empty capture comes back uniform.
bool HasContent(const std::uint32_t* pixels, std::size_t count) {
    for (std::size_t i = 1; i < count; ++i)
        if ((pixels[i] & 0xFFFFFF) != (pixels[0] & 0xFFFFFF)) return true;
    return false;
}

} // namespace

bool SaveWindowBmp(HWND window, const std::string& path) {
    RECT rect;
    if (!GetWindowRect(window, &rect)) return false;
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) return false;

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // rows top to bottom
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, dib);
    const auto* pixels = static_cast<const std::uint32_t*>(bits);
    const std::size_t count = static_cast<std::size_t>(width) * height;

    // What is on the screen where the window is: with the window in front, exactly what a
    // person sees. Should that come back empty, the window draws itself into the picture.
    RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    GdiFlush();
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    if (!HasContent(pixels, count)) {
        PrintWindow(window, memory, 0);
        GdiFlush();
    }
    const bool content = HasContent(pixels, count);

    std::vector<unsigned char> file;
    const std::uint32_t rowBytes = (static_cast<std::uint32_t>(width) * 3 + 3) & ~3u;
    const std::uint32_t imageBytes = rowBytes * static_cast<std::uint32_t>(height);
    file.push_back('B');
    file.push_back('M');
    Put32(file, 54 + imageBytes);
    Put32(file, 0);
    Put32(file, 54);
    Put32(file, 40);
    Put32(file, static_cast<std::uint32_t>(width));
    Put32(file, static_cast<std::uint32_t>(height)); // stored bottom to top
    Put16(file, 1);
    Put16(file, 24);
    Put32(file, 0);
    Put32(file, imageBytes);
    Put32(file, 3780); // 96 dpi
    Put32(file, 3780);
    Put32(file, 0);
    Put32(file, 0);
    for (int y = height - 1; y >= 0; --y) {
        const std::uint32_t* row = pixels + static_cast<std::size_t>(y) * width;
        std::uint32_t written = 0;
        for (int x = 0; x < width; ++x) {
            file.push_back(static_cast<unsigned char>(row[x] & 0xFF));
            file.push_back(static_cast<unsigned char>((row[x] >> 8) & 0xFF));
            file.push_back(static_cast<unsigned char>((row[x] >> 16) & 0xFF));
            written += 3;
        }
        for (; written < rowBytes; ++written)
            file.push_back(0);
    }
    SelectObject(memory, old);
    DeleteObject(dib);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (!content) return false;

    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) return false;
    const bool ok = std::fwrite(file.data(), 1, file.size(), out) == file.size();
    return std::fclose(out) == 0 && ok;
}

} // namespace flashwell::test
