// The board's boot flash: two banks of NOR flash behind the DSP. Erased bytes read 0xFF and
// programming can only clear bits, so a block written without its erase shows in the content.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace flashwell::sim {

// Where things live inside a bank (offsets into the bank, not the DSP's address words).
namespace flash_layout {
inline constexpr std::size_t kBankSize = 0x40000;
inline constexpr int kBanks = 2;

// Bank 0. The flash-access program reads through a window at 0xD00000 (offset = address word -
// 0xD00000), so the parameter block read at 0xD01000 sits at offset 0x1000.
inline constexpr std::size_t kParameterBlock = 0x1000;
inline constexpr std::size_t kParameterBlockSize = 7174;
// The sector erased by the request at 0xD02000.
inline constexpr std::size_t kParameterSector = 0x1000;
inline constexpr std::size_t kParameterSectorSize = 0x2000;
// The DSP boot program, one DSP word per three bytes, most significant byte first: cell 0 (N),
// cell 1 (load address), then the N program words.
inline constexpr std::size_t kBootArea = 0x4000;
inline constexpr std::size_t kBootAreaSize = 0x1A000;
// The FPGA configuration: offset = the block's address word (0x1E000 + 2048 x k).
inline constexpr std::size_t kFpgaArea = 0x1E000;
inline constexpr std::size_t kFpgaAreaSize = kBankSize - kFpgaArea;

// Bank 1: the second-bank data from offset 0 (offset = address word 2048 x k), erased one
// 64-KiB sector at a time.
inline constexpr std::size_t kSecondBankSector = 0x10000;
inline constexpr std::size_t kSecondBankSectors = kBankSize / kSecondBankSector;

// Address words of the flash-access program. Write requests address whole blocks: the parameter
// block at 0, 0x800, 0x1000 and 0x1800, the FPGA area at 0x1E000 + 2048 x k (bank 0), the
// second-bank data at 2048 x k (bank 1).
inline constexpr std::size_t kBlockSize = 2048;
inline constexpr std::uint32_t kReadWindow = 0xD00000;
inline constexpr std::uint32_t kParameterEraseWord = 0xD02000;
inline constexpr std::uint32_t kSecondBankEraseWord = 0xD00000;
} // namespace flash_layout

class FlashMemory {
public:
    FlashMemory();

    std::span<const std::uint8_t> Bank(int bank) const;
    std::span<const std::uint8_t> Range(int bank, std::size_t offset, std::size_t length) const;

    // NOR programming: every byte becomes old AND new. Bytes beyond the bank are dropped.
    void Program(int bank, std::size_t offset, std::span<const std::uint8_t> bytes);
    void Erase(int bank, std::size_t offset, std::size_t length);
    // Erase, then program: how presets put content in place.
    void Store(int bank, std::size_t offset, std::span<const std::uint8_t> bytes,
               std::size_t regionLength);

    // The bank latch and the second bank's erase cursor (which sector the next erase at
    // 0xD00000 clears). Selecting bank 1 rewinds the cursor; a power cycle selects bank 0.
    int SelectedBank() const { return selectedBank_; }
    void SelectBank(int bank);
    std::size_t EraseCursor() const { return eraseCursor_; }
    void AdvanceEraseCursor() { ++eraseCursor_; }

private:
    std::array<std::vector<std::uint8_t>, flash_layout::kBanks> banks_;
    int selectedBank_ = 0;
    std::size_t eraseCursor_ = 0;
};

} // namespace flashwell::sim
