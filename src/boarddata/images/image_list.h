// The list of the board images: which files the build embeds, their exact sizes and what kind
// of image each one is. This table is the only place they are named: the build
// (cmake/FlashwellImages.cmake reads the file names below), the image checker and the program's
// constants all take them from here.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace flashwell::images {

enum class ImageKind {
    RbfRev11,
    RbfRev12,
    RbfRev13,
    FlashProgram,   // DspImage file: 4-byte little-endian cells
    BootProgram,    // DspImage file: 4-byte little-endian cells
    Kpci,           // raw KPCI bytes
    RamFirmwareHex, // Intel-HEX text, CR LF line ends
    EepromBoot,     // EZ-USB 0xC2 EEPROM boot-load image
};

struct ImageFile {
    ImageKind kind;
    std::string_view fileName; // name inside the image folder
    std::size_t size;          // exact size of the file in bytes
};

// One row per file, one file per line: the build reads the quoted names.
inline constexpr std::array<ImageFile, 8> kImageFiles{{
    {ImageKind::RbfRev11, "usbvexta_05_10_2004.rbf", 59215},
    {ImageKind::RbfRev12, "usbvexta_21_05_2008.rbf", 43589},
    {ImageKind::RbfRev13, "usbvexta_21_05_2008_08_11_2016.rbf", 48349},
    {ImageKind::FlashProgram, "flashprogram.dspimg", 2262 * 4},
    {ImageKind::BootProgram, "bootprogram.dspimg", 3418 * 4},
    {ImageKind::Kpci, "kpci.bin", 86370},
    {ImageKind::RamFirmwareHex, "ramfirmware.hex", 10053},
    {ImageKind::EepromBoot, "eepromboot.iic", 3818},
}};

constexpr const ImageFile& ImageFileOf(ImageKind kind) {
    for (const ImageFile& file : kImageFiles)
        if (file.kind == kind) return file;
    return kImageFiles[0]; // unreachable: every kind has its row
}

} // namespace flashwell::images
