// Deterministic generator of the stand-in board images (docs/images.md).
//
// The real board images are not part of this repository. The generator builds images of the
// same form, size, header values and record structure as the program relies on, with bodies of
// seeded pseudo-random bytes, so that a block written twice, skipped or misplaced shows up when
// a simulated board's memory is compared with the image.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace flashwell::imagegen {

struct GeneratedFile {
    std::string fileName; // name inside the image folder (see images::ImageFiles)
    std::vector<std::uint8_t> bytes;
};

// The eight image files, in the order of images::ImageFiles(). Identical on every call.
std::vector<GeneratedFile> GenerateImages();

// Writes the eight files into folder (which must exist). Returns "" or an error message.
std::string WriteImages(const std::string& folder);

// Texts the generator puts into the images (for tests).
inline constexpr std::string_view kFlashProgramNameText = "FlashAccess 1.02 28.07.2006"; // 27
inline constexpr std::string_view kFlashProgramVersionText = "Ver 01.002 28.07.2006";    // 21
inline constexpr std::string_view kKpciNameText = "KPCI Data Version 2.9.05.14";         // 27
inline constexpr std::string_view kKpciDateText = "28.10.2016";                          // 10 of 12

} // namespace flashwell::imagegen
