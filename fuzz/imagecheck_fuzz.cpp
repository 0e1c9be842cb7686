// The build-time image validator on arbitrary bytes. The first byte picks the image kind and how
// the rest is used: as the whole image, or as patches onto the real image of that kind (the
// checks look deep only into images of the exact size, which random bytes rarely have).
#include "boarddata/images/image_check.h"
#include "boarddata/images/images.h"
#include "byte_stream.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

using namespace flashwell;
using images::ImageKind;

namespace {

std::vector<std::uint8_t> RealImage(ImageKind kind) {
    const auto cellsToBytes = [](std::span<const std::uint32_t> cells) {
        std::vector<std::uint8_t> bytes;
        for (std::uint32_t c : cells)
            for (int i = 0; i < 4; ++i)
                bytes.push_back(static_cast<std::uint8_t>(c >> (8 * i)));
        return bytes;
    };
    const auto copy = [](auto span) { return std::vector<std::uint8_t>(span.begin(), span.end()); };
    switch (kind) {
    case ImageKind::RbfRev11:
        return copy(images::RbfImageRev11View());
    case ImageKind::RbfRev12:
        return copy(images::RbfImageRev12View());
    case ImageKind::RbfRev13:
        return copy(images::RbfImageRev13View());
    case ImageKind::FlashProgram:
        return cellsToBytes(images::FlashProgramImage());
    case ImageKind::BootProgram:
        return cellsToBytes(images::BootProgramImage());
    case ImageKind::Kpci:
        return copy(images::KpciImage());
    case ImageKind::RamFirmwareHex:
        return copy(images::RamFirmwareHexText());
    case ImageKind::EepromBoot:
        return copy(images::EepromBootImageView());
    }
    return {};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ByteStream in({data, size});
    const std::uint8_t head = in.Byte();
    const auto files = images::ImageFiles();
    const images::ImageFile& file = files[head % files.size()];

    // An exactly sized heap copy, so that a read past the end is caught.
    std::vector<std::uint8_t> bytes;
    if ((head & 0x80) == 0) {
        const auto rest = in.Rest();
        bytes.assign(rest.begin(), rest.end());
    } else {
        bytes = RealImage(file.kind);
        // With bit 6 of the first byte set, the next four bytes cut the image short first; then
        // (offset, value) records patch single bytes.
        if ((head & 0x40) != 0) bytes.resize(in.Le32() % (bytes.size() + 1));
        while (!in.Empty() && !bytes.empty()) {
            const std::uint32_t offset = in.Le32();
            bytes[offset % bytes.size()] = in.Byte();
        }
    }
    // An exact allocation again: after a resize the capacity may still reach further.
    const std::vector<std::uint8_t> exact(bytes.begin(), bytes.end());
    const std::string verdict = images::CheckImage(file.kind, exact);
    // The real image of each kind is sound; the checker must say so for the unmodified bytes.
    if ((head & 0xC0) == 0x80 && size == 1 && !verdict.empty()) std::abort();
    return 0;
}
