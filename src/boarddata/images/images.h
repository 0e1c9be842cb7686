// The compiled-in board images.
//
// The bytes come from the image files in FLASHWELL_IMAGE_DIR (default images/), which the build
// checks and embeds with flashwell-imagetool (docs/images.md). Nothing is read at run time.
#pragma once

#include "boarddata/images/image_list.h"

#include <cstdint>
#include <span>
#include <string_view>

namespace flashwell::images {

inline constexpr int SizeOf(ImageKind kind) {
    return static_cast<int>(ImageFileOf(kind).size);
}
inline constexpr int kRbfImageRev11Size = SizeOf(ImageKind::RbfRev11);
inline constexpr int kRbfImageRev12Size = SizeOf(ImageKind::RbfRev12);
inline constexpr int kRbfImageRev13Size = SizeOf(ImageKind::RbfRev13);
inline constexpr int kFlashProgramCells = SizeOf(ImageKind::FlashProgram) / 4; // N + 2 header cells
inline constexpr int kBootProgramCells = SizeOf(ImageKind::BootProgram) / 4;   // N + 2 header cells
inline constexpr int kKpciBytes = SizeOf(ImageKind::Kpci);
inline constexpr int kKpciGroups = kKpciBytes / 3; // three-byte groups of the KPCI data
inline constexpr int kRamFirmwareHexLength = SizeOf(ImageKind::RamFirmwareHex);
inline constexpr int kEepromBootImageSize = SizeOf(ImageKind::EepromBoot);
inline constexpr int kDspImageBufferCells = 5000; // the 20000-byte buffer callers provide

// FPGA configurations (RBF), one per hardware revision, and the file names shown in the Info
// text (no file of that name is opened).
extern const std::uint8_t RbfImageRev11[kRbfImageRev11Size];
extern const std::uint8_t RbfImageRev12[kRbfImageRev12Size];
extern const std::uint8_t RbfImageRev13[kRbfImageRev13Size];
inline constexpr const char* RbfFileNameRev11 = ImageFileOf(ImageKind::RbfRev11).fileName.data();
inline constexpr const char* RbfFileNameRev12 = ImageFileOf(ImageKind::RbfRev12).fileName.data();
inline constexpr const char* RbfFileNameRev13 = ImageFileOf(ImageKind::RbfRev13).fileName.data();

// Write the flash-access program / DSP boot program as a DspImage (cell 0 = N, cell 1 = load
// address 0x100, then N program words) into cells, which must hold at least 2262 / 3418 cells
// (callers use kDspImageBufferCells). Return the number of cells written: 2262 / 3418.
int BuildFlashProgramImage(std::uint32_t* cells);
int BuildBootProgramImage(std::uint32_t* cells);

// Writes the 86370 bytes of the KPCI data to dest; returns 28790, the number of groups.
int BuildKpciImage(std::uint8_t* dest);

// EZ-USB RAM firmware: Intel-HEX text of 10053 characters (CR LF line ends) and a NUL.
extern const char RamFirmwareHex[kRamFirmwareHexLength + 1];

// EZ-USB EEPROM boot-load image (0xC2 format), written to EEPROM addresses 0 to 3817.
extern const std::uint8_t EepromBootImage[kEepromBootImageSize];

// Read-only views of the same data, for tests and the board simulation.
std::span<const std::uint32_t, kFlashProgramCells> FlashProgramImage();
std::span<const std::uint32_t, kBootProgramCells> BootProgramImage();
std::span<const std::uint8_t, kKpciBytes> KpciImage();
std::span<const std::uint8_t, kRbfImageRev11Size> RbfImageRev11View();
std::span<const std::uint8_t, kRbfImageRev12Size> RbfImageRev12View();
std::span<const std::uint8_t, kRbfImageRev13Size> RbfImageRev13View();
std::string_view RamFirmwareHexText(); // the 10053 characters, without the NUL
std::span<const std::uint8_t, kEepromBootImageSize> EepromBootImageView();

} // namespace flashwell::images
