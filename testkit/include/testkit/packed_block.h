// A host record as the board would hold it: packed by the tool's own conversion into an erased
// block. For tests that put a parameter block of their own on a simulated board; the simulation
// itself never packs or unpacks with the tool's code.
#pragma once

#include "boarddata/flash_data.h"
#include "sim/parameter_block.h"

#include <algorithm>
#include <array>
#include <string>

namespace flashwell::testing {

inline sim::ParameterBlock PackedBlock(const boarddata::FlashDataRecord& record) {
    boarddata::FlashDataBlock block;
    block.fill(0xFF);
    boarddata::PackFlashData(record, block);
    sim::ParameterBlock out;
    std::copy(block.begin(), block.end(), out.begin());
    return out;
}

// The fields of a block on the board as the simulation's own table reads them, under the names
// of the tool's record, so that tests compare them with what the tool meant to write.
struct BoardFields {
    explicit BoardFields(const sim::ParameterBlock& block)
        : ProductName(sim::Text(block, "ProductName")),
          SerialNumber(sim::Text(block, "SerialNumber")), Customer(sim::Text(block, "Customer")),
          Reference(sim::Text(block, "Reference")) {
        BoardDate.Year = sim::Text(block, "BoardDate.Year");
        const auto revision = sim::Raw(block, "RevisionStamps[0].Revision");
        std::copy(revision.begin(), revision.end(), Revision.begin());
        const auto flags = sim::Raw(block, "FeatureFlags");
        std::copy(flags.begin(), flags.end(), FeatureFlags.begin());
        const auto tableC = sim::Raw(block, "TableC");
        std::copy(tableC.begin(), tableC.end(), TableC.begin());
        const auto curve = sim::Numbers(block, "Curve");
        std::copy(curve.begin(), curve.end(), Curve.begin());
    }
    std::string ProductName, SerialNumber, Customer, Reference;
    struct {
        std::string Year;
    } BoardDate;
    std::array<std::uint8_t, 2> Revision{};
    std::array<std::uint8_t, 10> FeatureFlags{};
    std::array<std::uint8_t, 3072> TableC{};
    std::array<std::uint32_t, 1024> Curve{};
    const std::array<std::uint8_t, 2>& HardwareRevision() const { return Revision; }
};

} // namespace flashwell::testing
