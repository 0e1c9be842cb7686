// The board's parameter block as the flash holds it: 7174 bytes whose fields the simulation
// knows from its own table, so that a block the host lays out wrongly shows up as a wrong field
// on the board instead of being read back by the same mistake.
//
//   sim::ParameterBlock block = sim::ErasedParameterBlock();
//   sim::SetText(block, "ProductName", "vexta/USB");
//   sim::SetNumber(block, "ChannelGroups[0].Count", 0x40);
//   EXPECT_EQ(sim::Text(report.parameterBlock, "SerialNumber"), "2004-K7A-1024-5-0312");
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace flashwell::sim {

inline constexpr std::size_t kParameterBlockBytes = 7174;
using ParameterBlock = std::array<std::uint8_t, kParameterBlockBytes>;

enum class FieldEncoding {
    Raw,  // bytes as they are
    Text, // characters up to the first NUL or the field's end
    Be16, // numbers of 2 bytes, most significant first
    Be24, // numbers of 3 bytes, most significant first
};

struct ParameterField {
    std::string name; // "ProductName", "ChannelGroups[2].Count", "Curve"
    std::size_t offset = 0;
    std::size_t size = 0;
    FieldEncoding encoding = FieldEncoding::Raw;
};

// Every stored field, in block order. Fields of several numbers (Values, WordTable, ValueTable,
// Curve) are one entry each.
const std::vector<ParameterField>& ParameterFields();
// Throws std::out_of_range for a name the table does not have.
const ParameterField& FieldNamed(std::string_view name);

ParameterBlock ErasedParameterBlock();

std::span<const std::uint8_t> Raw(const ParameterBlock& block, std::string_view field);
std::string Text(const ParameterBlock& block, std::string_view field);
// The field's numbers (one for a single number).
std::vector<std::uint32_t> Numbers(const ParameterBlock& block, std::string_view field);
std::uint32_t Number(const ParameterBlock& block, std::string_view field);

// Writes as a programmer of the block does: a text's characters and, when it is shorter than
// the field, one NUL (the rest of the field keeps its bytes); numbers cut to their width.
void SetRaw(ParameterBlock& block, std::string_view field, std::span<const std::uint8_t> bytes);
void SetText(ParameterBlock& block, std::string_view field, std::string_view text);
void SetNumber(ParameterBlock& block, std::string_view field, std::uint32_t value,
               std::size_t index = 0);
// The field's numbers from the first on; throws when there are more than the field holds.
void SetNumbers(ParameterBlock& block, std::string_view field,
                std::span<const std::uint32_t> values);

} // namespace flashwell::sim
