#include "protocol/image_writers.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace flashwell::protocol {

namespace {

constexpr int kBlocksBeforeSecondSector = 32;

// The nearest integer to 100 / blocks * number; halfway values go to the even neighbour.
std::int32_t Position(std::int32_t blocks, std::int32_t number) {
    return static_cast<std::int32_t>(std::nearbyint(100.0 / blocks * number));
}

std::vector<std::uint32_t> ToCells(const std::uint8_t* bytes, std::size_t count) {
    return std::vector<std::uint32_t>(bytes, bytes + count);
}

} // namespace

bool ImageWriters::WriteRbfImage(int board, const std::uint8_t* image, std::int32_t length,
                                 const ProgressCallback& progress) {
    const std::int32_t total = std::max(length, 0);
    const std::vector<std::uint32_t> cells = ToCells(image, static_cast<std::size_t>(total));
    const std::int32_t blocks = (total + kFlashBlockCells - 1) / kFlashBlockCells;
    if (progress) progress(0, 100, 0);
    for (std::int32_t k = 0; k < blocks; ++k) {
        const std::int32_t first = k * kFlashBlockCells;
        const std::int32_t n = std::min(kFlashBlockCells, total - first);
        if (progress) progress(0, 100, Position(blocks, k));
        if (!flash_.WriteFlashBlock(board, address::RbfBase + static_cast<std::uint32_t>(first), n,
                                    cells.data() + first)) {
            ui_.ShowMessage(platform::MessageKind::Plain, platform::kApplicationTitle,
                            "Fehler beim Schreiben des " + std::to_string(k) + ". Blockes",
                            platform::MessageButtons::Ok);
            return false;
        }
    }
    if (progress) progress(0, 100, 0);
    return true;
}

std::uint32_t ImageWriters::WriteKpciImage(int board, const std::uint8_t* data, std::int32_t groups,
                                           const ProgressCallback& progress, int mode) {
    const std::int32_t total = std::max(groups, 0) * 3;
    const std::vector<std::uint32_t> cells = ToCells(data, static_cast<std::size_t>(total));
    std::uint32_t result = 0;
    if (progress) progress(0, 100, 0);
    if (!flash_.EraseFlashSector(board, address::SecondBankErase)) {
        result = FailureWord;
    } else {
        // Without a 32nd block there is no saved address; the sector start is the safe one.
        std::uint32_t savedAddress = address::SecondBankErase;
        bool allWritten = true;
        const std::int32_t blocks = (total + kFlashBlockCells - 1) / kFlashBlockCells;
        for (std::int32_t p = 1; p <= blocks; ++p) {
            if (progress) progress(0, 100, Position(blocks, p));
            ui_.ProcessPendingMessages();
            const std::int32_t first = (p - 1) * kFlashBlockCells;
            const std::int32_t n = std::min(kFlashBlockCells, total - first);
            const bool ok = flash_.WriteFlashBlock(board, static_cast<std::uint32_t>(first), n,
                                                   cells.data() + first);
            // The blocks after the 32nd go to the next sector, which must be erased first:
            // written over old data they would only clear bits of it.
            bool nextSectorErased = true;
            if (p == kBlocksBeforeSecondSector) {
                if (mode != 1 && total >= 65536)
                    savedAddress = (cells[65533] << 16) | (cells[65534] << 8) | cells[65535];
                nextSectorErased =
                    flash_.EraseFlashSector(board, address::SecondBankErase) || p == blocks;
            }
            if (!ok || !nextSectorErased) {
                const std::int32_t failed = ok ? p + 1 : p;
                ui_.ShowMessage(platform::MessageKind::Error, "Error",
                                "Fehler beim Schreiben des " + std::to_string(failed) + ". Blockes",
                                platform::MessageButtons::Cancel);
                result = FailureWord;
                allWritten = false;
                break;
            }
        }
        if (allWritten)
            flash_.EraseFlashSector(board, mode == 1 ? address::SecondBankErase : savedAddress);
    }
    if (progress) progress(0, 100, 0);
    return result;
}

} // namespace flashwell::protocol
