// Giving a simulated board its memory contents before a run, and telling after a power cycle
// what it runs and holds, in terms of the compiled-in images.
//
//   sim::SimWorld world;
//   sim::Board& board = world.AddBoard();
//   sim::FillWithOldContents(board, 7);              // everything different from the images
//   sim::SetParameterBlock(board, block);            // and a parameter block of the test's own
//   ... run the update against world.Os() ...
//   world.PowerCycle(board);
//   const sim::BoardReport r = sim::Inspect(board);
//   EXPECT_EQ(r.identity, sim::kBoardIdentity);
//   EXPECT_TRUE(r.eepromIsBootImage);
//   EXPECT_EQ(r.fpga, sim::FpgaContent::Rev13);
#pragma once

#include "sim/board.h"
#include "sim/parameter_block.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace flashwell::sim {

// --- Presets (the board keeps running what it ran; power-cycle it to boot the new contents) --

// EEPROM bytes from address 0; the rest of the EEPROM reads 0xFF.
void SetEepromContents(Board& board, std::span<const std::uint8_t> bytes);
// The 7174 bytes of the parameter block; the rest of its sector is erased.
void SetParameterBlock(Board& board, const ParameterBlock& block);
// The FPGA configuration area (bank 0 from 0x1E000); the rest of the area is erased.
void SetFpgaConfiguration(Board& board, std::span<const std::uint8_t> bytes);
// The second bank from offset 0; the rest of the bank is erased.
void SetSecondBankData(Board& board, std::span<const std::uint8_t> bytes);
// A DspImage (N, load address, words) in the boot area, three bytes per word.
void SetBootArea(Board& board, std::span<const std::uint32_t> dspImage);
void SetSubId(Board& board, std::int32_t subId);

// The second-bank data an update writes: 54 AA 32 00 00 01, the KPCI data, 54 AA 32.
std::vector<std::uint8_t> FramedKpciData();

// Contents as a board from an earlier production would hold them: every memory the update
// writes gets bytes of the same size as the compiled-in image but different (seeded
// pseudo-random), so a complete update changes every one of them.
struct OldContents {
    std::vector<std::uint8_t> eeprom;     // 0xC2 image carrying our descriptor: boots as 1057:1801
    std::vector<std::uint8_t> fpga;       // as long as RbfImageRev11
    std::vector<std::uint8_t> secondBank; // as long as FramedKpciData()
    std::vector<std::uint32_t> bootProgram; // DspImage as long as the boot program
};
OldContents MakeOldContents(std::uint64_t seed);
// What a new board's EEPROM holds, so that a power cycle brings it back as the kind it was
// created as: a board gets an old firmware with its descriptor (MakeOldContents(0), product
// 1802 patched in for the partner product), a controller in boot state 0xFF bytes or a 0xC0
// header with its identity. The rest of the EEPROM reads 0xFF.
std::vector<std::uint8_t> InitialEeprom(DeviceKind kind, UsbIdentity identity);
// Stores MakeOldContents(seed) on the board and power-cycles it, so that it comes up from them
// (as 1057:1801 for a USB board). The parameter block and SubID are left alone.
void FillWithOldContents(Board& board, std::uint64_t seed);

// --- Inspection --------------------------------------------------------------------------

enum class FpgaContent { Rev11, Rev12, Rev13, Erased, Other };
enum class BootAreaContent { BootProgram, Erased, Other };
enum class SecondBankContent { FramedKpci, Erased, Other };

const char* FpgaContentName(FpgaContent content);

struct BoardReport {
    // Controller, as the board shows itself on the bus now.
    UsbIdentity identity;
    bool attached = false;
    bool runsBoardFirmware = false;
    DspProgramKind dsp = DspProgramKind::Idle;
    std::uint8_t eepromMarker = 0xFF;
    // The EEPROM's first 3818 bytes equal EepromBootImage.
    bool eepromIsBootImage = false;
    // FPGA area: which compiled-in RBF image it starts with, byte for byte.
    FpgaContent fpga = FpgaContent::Erased;
    BootAreaContent bootProgram = BootAreaContent::Erased;
    // Read its fields with the simulation's own table (parameter_block.h).
    ParameterBlock parameterBlock{};
    bool parameterBlockErased = true;
    SecondBankContent secondBank = SecondBankContent::Erased;

    // One line per item, for failure messages.
    std::string ToString() const;
};

// Carries out what is due at the current virtual time first (Board::Poll).
BoardReport Inspect(Board& board);

} // namespace flashwell::sim
