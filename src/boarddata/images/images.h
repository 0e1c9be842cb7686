// The compiled-in board images.
//
// The bytes come from the image files in FLASHWELL_IMAGE_DIR (default images/), which the build
// checks and embeds with flashwell-imagetool (docs/images.md). Nothing is read at run time.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace flashwell::images {

inline constexpr int kRbfImageRev11Size = 59215;
inline constexpr int kRbfImageRev12Size = 43589;
inline constexpr int kRbfImageRev13Size = 48349;
inline constexpr int kFlashProgramCells = 2262; // DspImage: N = 2260 words + 2 header cells
inline constexpr int kBootProgramCells = 3418;  // DspImage: N = 3416 words + 2 header cells
inline constexpr int kKpciBytes = 86370;
inline constexpr int kKpciGroups = 28790; // three-byte groups of the KPCI data
inline constexpr int kRamFirmwareHexLength = 10053;
inline constexpr int kEepromBootImageSize = 3818;
inline constexpr int kDspImageBufferCells = 5000; // the 20000-byte buffer callers provide

// FPGA configurations (RBF), one per hardware revision, and the file names shown in the Info
// text (no file of that name is opened).
extern const std::uint8_t RbfImageRev11[kRbfImageRev11Size];
extern const std::uint8_t RbfImageRev12[kRbfImageRev12Size];
extern const std::uint8_t RbfImageRev13[kRbfImageRev13Size];
extern const char* const RbfFileNameRev11; // "usbvexta_05_10_2004.rbf"
extern const char* const RbfFileNameRev12; // "usbvexta_21_05_2008.rbf"
extern const char* const RbfFileNameRev13; // "usbvexta_21_05_2008_08_11_2016.rbf"

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
