#include "boarddata/images/images.h"

#include "boarddata/images/image_data.h"

#include <algorithm>

namespace flashwell::images {

int BuildFlashProgramImage(std::uint32_t* cells) {
    std::copy(std::begin(detail::kFlashProgramData), std::end(detail::kFlashProgramData), cells);
    return kFlashProgramCells;
}

int BuildBootProgramImage(std::uint32_t* cells) {
    std::copy(std::begin(detail::kBootProgramData), std::end(detail::kBootProgramData), cells);
    return kBootProgramCells;
}

int BuildKpciImage(std::uint8_t* dest) {
    std::copy(std::begin(detail::kKpciData), std::end(detail::kKpciData), dest);
    return kKpciGroups;
}

std::span<const std::uint32_t, kFlashProgramCells> FlashProgramImage() {
    return std::span<const std::uint32_t, kFlashProgramCells>(detail::kFlashProgramData);
}
std::span<const std::uint32_t, kBootProgramCells> BootProgramImage() {
    return std::span<const std::uint32_t, kBootProgramCells>(detail::kBootProgramData);
}
std::span<const std::uint8_t, kKpciBytes> KpciImage() {
    return std::span<const std::uint8_t, kKpciBytes>(detail::kKpciData);
}
std::span<const std::uint8_t, kRbfImageRev11Size> RbfImageRev11View() {
    return std::span<const std::uint8_t, kRbfImageRev11Size>(RbfImageRev11);
}
std::span<const std::uint8_t, kRbfImageRev12Size> RbfImageRev12View() {
    return std::span<const std::uint8_t, kRbfImageRev12Size>(RbfImageRev12);
}
std::span<const std::uint8_t, kRbfImageRev13Size> RbfImageRev13View() {
    return std::span<const std::uint8_t, kRbfImageRev13Size>(RbfImageRev13);
}
std::string_view RamFirmwareHexText() {
    return std::string_view(RamFirmwareHex, kRamFirmwareHexLength);
}
std::span<const std::uint8_t, kEepromBootImageSize> EepromBootImageView() {
    return std::span<const std::uint8_t, kEepromBootImageSize>(EepromBootImage);
}

} // namespace flashwell::images
