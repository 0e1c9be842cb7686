#include "sim/parameter_block.h"

#include <algorithm>
#include <stdexcept>

namespace flashwell::sim {
namespace {

// "Name[i]." as field names start; appended, as gcc 12 misreads chains of + at -O3.
std::string Indexed(const char* name, int index) {
    std::string text = name;
    text += '[';
    text += std::to_string(index);
    text += "].";
    return text;
}

std::vector<ParameterField> BuildTable() {
    using E = FieldEncoding;
    std::vector<ParameterField> t;
    const auto add = [&](std::string name, std::size_t offset, std::size_t size, E encoding) {
        t.push_back({std::move(name), offset, size, encoding});
    };
    for (int s = 0; s < 3; ++s) {
        const std::string p = Indexed("RevisionStamps", s);
        const std::size_t at = 14 * static_cast<std::size_t>(s);
        add(p + "Code1", at, 2, E::Raw);
        add(p + "Code2", at + 2, 2, E::Raw);
        // Byte 4 the minor number, byte 5 the major number.
        add(p + "Revision", at + 4, 2, E::Raw);
        add(p + "Day", at + 6, 2, E::Text);
        add(p + "Month", at + 8, 2, E::Text);
        add(p + "Year", at + 10, 4, E::Text);
    }
    for (int g = 0; g < 2; ++g) {
        const std::string p = Indexed("InfoGroups", g);
        const std::size_t at = 42 + 30 * static_cast<std::size_t>(g);
        add(p + "Text6", at, 6, E::Text);
        add(p + "ByteA", at + 6, 1, E::Raw);
        add(p + "Text4", at + 7, 4, E::Text);
        add(p + "ByteB", at + 11, 1, E::Raw);
        add(p + "Values", at + 12, 18, E::Be24);
    }
    add("MiscByte", 102, 1, E::Raw);
    add("MiscWord", 103, 2, E::Be16);
    add("MiscValue", 105, 3, E::Be24);
    for (int c = 0; c < 6; ++c) {
        const std::string p = Indexed("ChannelGroups", c);
        const std::size_t at = 108 + 4 * static_cast<std::size_t>(c);
        add(p + "Count", at, 1, E::Raw);
        add(p + "Kind", at + 1, 1, E::Raw);
        add(p + "Param", at + 2, 2, E::Be16);
    }
    add("ProductName", 132, 32, E::Text);
    add("Manufacturer", 164, 32, E::Text);
    add("Vendor", 196, 32, E::Text);
    add("Description", 228, 32, E::Text);
    add("SerialNumber", 260, 20, E::Text);
    add("Customer", 280, 32, E::Text);
    add("Reference", 312, 10, E::Text);
    add("BoardDate.Day", 322, 2, E::Text);
    add("BoardDate.Month", 324, 2, E::Text);
    add("BoardDate.Year", 326, 4, E::Text);
    add("OptionBytes", 330, 10, E::Raw);
    add("FeatureFlags", 340, 10, E::Raw);
    add("TableA", 350, 34, E::Raw);
    add("TableB", 384, 128, E::Raw);
    add("TableC", 512, 3072, E::Raw);
    add("QuadBytes", 3584, 16, E::Raw);
    add("WordTable", 3728, 32, E::Be16);
    add("ValueTable", 3872, 48, E::Be24);
    add("TableD", 3920, 166, E::Raw);
    add("CurveHeader", 4096, 3, E::Be24);
    add("Curve", 4099, 3072, E::Be24);
    return t;
}

std::size_t Width(FieldEncoding e) {
    return e == FieldEncoding::Be16 ? 2 : e == FieldEncoding::Be24 ? 3 : 1;
}

} // namespace

const std::vector<ParameterField>& ParameterFields() {
    static const std::vector<ParameterField> table = BuildTable();
    return table;
}

const ParameterField& FieldNamed(std::string_view name) {
    for (const ParameterField& f : ParameterFields())
        if (f.name == name) return f;
    throw std::out_of_range("no parameter block field " + std::string(name));
}

ParameterBlock ErasedParameterBlock() {
    ParameterBlock block;
    block.fill(0xFF);
    return block;
}

std::span<const std::uint8_t> Raw(const ParameterBlock& block, std::string_view field) {
    const ParameterField& f = FieldNamed(field);
    return std::span<const std::uint8_t>(block).subspan(f.offset, f.size);
}

std::string Text(const ParameterBlock& block, std::string_view field) {
    const auto bytes = Raw(block, field);
    const auto end = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
    return std::string(bytes.begin(), end);
}

std::vector<std::uint32_t> Numbers(const ParameterBlock& block, std::string_view field) {
    const ParameterField& f = FieldNamed(field);
    const std::size_t width = Width(f.encoding);
    std::vector<std::uint32_t> out;
    for (std::size_t at = f.offset; at + width <= f.offset + f.size; at += width) {
        std::uint32_t v = 0;
        for (std::size_t b = 0; b < width; ++b)
            v = v << 8 | block[at + b];
        out.push_back(v);
    }
    return out;
}

std::uint32_t Number(const ParameterBlock& block, std::string_view field) {
    return Numbers(block, field).at(0);
}

void SetRaw(ParameterBlock& block, std::string_view field, std::span<const std::uint8_t> bytes) {
    const ParameterField& f = FieldNamed(field);
    std::copy_n(bytes.begin(), std::min(bytes.size(), f.size), block.begin() + f.offset);
}

void SetText(ParameterBlock& block, std::string_view field, std::string_view text) {
    const ParameterField& f = FieldNamed(field);
    const std::size_t n = std::min(text.size(), f.size);
    std::copy_n(text.begin(), n, block.begin() + f.offset);
    if (n < f.size) block[f.offset + n] = 0;
}

namespace {
void PutNumber(ParameterBlock& block, const ParameterField& f, std::uint32_t value,
               std::size_t index) {
    const std::size_t width = Width(f.encoding);
    const std::size_t at = f.offset + index * width;
    if (at + width > f.offset + f.size) throw std::out_of_range("index beyond " + f.name);
    for (std::size_t b = 0; b < width; ++b)
        block[at + b] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - b)));
}
} // namespace

void SetNumber(ParameterBlock& block, std::string_view field, std::uint32_t value,
               std::size_t index) {
    PutNumber(block, FieldNamed(field), value, index);
}

void SetNumbers(ParameterBlock& block, std::string_view field,
                std::span<const std::uint32_t> values) {
    const ParameterField& f = FieldNamed(field);
    for (std::size_t i = 0; i < values.size(); ++i)
        PutNumber(block, f, values[i], i);
}

} // namespace flashwell::sim
