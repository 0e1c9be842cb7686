// The writers of the large flash images: the FPGA configuration and the KPCI data of the second
// bank, block by block through the flash-access program.
#pragma once

#include "platform/ui_port.h"
#include "protocol/flash_access.h"

#include <cstdint>

namespace flashwell::protocol {

class ImageWriters {
public:
    ImageWriters(FlashAccess& flash, platform::UiPort& ui) : flash_(flash), ui_(ui) {}
    ImageWriters(const ImageWriters&) = delete;
    ImageWriters& operator=(const ImageWriters&) = delete;

    bool WriteRbfImage(int board, const std::uint8_t* image, std::int32_t length,
                       const ProgressCallback& progress);
    std::uint32_t WriteKpciImage(int board, const std::uint8_t* data, std::int32_t groups,
                                 const ProgressCallback& progress, int mode);

private:
    FlashAccess& flash_;
    platform::UiPort& ui_;
};

} // namespace flashwell::protocol
