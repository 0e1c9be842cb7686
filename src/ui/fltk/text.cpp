#include "ui/fltk/text.h"

#include <cstdint>

namespace flashwell::ui::fltk {

namespace {

// Code points of 0x80-0x9F; 0 marks the five positions the code page leaves undefined.
constexpr std::uint16_t kHighBlock[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

} // namespace

std::string Utf8FromCp1252(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c == '\r') continue;
        if (c >= 0x80 && c < 0xA0) {
            const std::uint16_t cp = kHighBlock[c - 0x80];
            AppendUtf8(out, cp != 0 ? cp : 0xFFFD);
        } else {
            AppendUtf8(out, c);
        }
    }
    return out;
}

std::string CaptionLabel(const std::string& cp1252) {
    std::string label = Utf8FromCp1252(cp1252);
    if (!label.empty() && label[0] == '@') label.insert(0, 1, '@');
    return label;
}

} // namespace flashwell::ui::fltk
