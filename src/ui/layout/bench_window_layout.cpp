#include "ui/layout/bench_window_layout.h"

#include <algorithm>

namespace flashwell::ui::layout {

namespace {

constexpr int kHeadingHeight = 18;
constexpr int kRowPitch = BenchWindowLayout::kRowHeight + 4;
constexpr int kStateHeight = 20;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;

int RowsTop() {
    return BenchWindowLayout::kMargin + kHeadingHeight + 4;
}

} // namespace

BenchWindowLayout::BenchWindowLayout(std::size_t rows) : rows_(rows) {}

const std::vector<ColumnDefinition>& BenchWindowLayout::Columns() {
    // Wide enough for a driver's instance part and a serial number of twenty characters in the
    // window font; the result column for "failed at KPCI-Update" and "in use by another program".
    static const std::vector<ColumnDefinition> columns{
        {BenchColumn::Place, "Place", 120}, {BenchColumn::Serial, "Serial", 130},
        {BenchColumn::Step, "Step", 130},   {BenchColumn::Gauge, "", 120},
        {BenchColumn::Elapsed, "Time", 56}, {BenchColumn::Result, "Result", 190},
        {BenchColumn::Log, "", 50},
    };
    return columns;
}

int BenchWindowLayout::ColumnLeft(BenchColumn column) const {
    int left = kMargin;
    for (const ColumnDefinition& c : Columns()) {
        if (c.column == column) return left;
        left += c.width + kGap;
    }
    return left;
}

int BenchWindowLayout::ClientWidth() const {
    int width = 2 * kMargin - kGap;
    for (const ColumnDefinition& c : Columns())
        width += c.width + kGap;
    return width;
}

int BenchWindowLayout::ClientHeight() const {
    return CloseButton().top + kButtonHeight + kMargin;
}

Cell BenchWindowLayout::Heading(BenchColumn column) const {
    const auto& columns = Columns();
    const auto found = std::find_if(columns.begin(), columns.end(),
                                    [&](const ColumnDefinition& c) { return c.column == column; });
    return {ColumnLeft(column), kMargin, found->width, kHeadingHeight};
}

Cell BenchWindowLayout::At(std::size_t row, BenchColumn column) const {
    Cell cell = Heading(column);
    cell.top = RowsTop() + static_cast<int>(row) * kRowPitch;
    cell.height = kRowHeight;
    return cell;
}

Cell BenchWindowLayout::StateLine() const {
    return {kMargin, RowsTop() + static_cast<int>(rows_) * kRowPitch + kGap,
            ClientWidth() - 3 * kMargin - kButtonWidth, kStateHeight};
}

Cell BenchWindowLayout::CloseButton() const {
    const Cell state = StateLine();
    return {ClientWidth() - kMargin - kButtonWidth,
            state.top + (kStateHeight - kButtonHeight) / 2 + 2, kButtonWidth, kButtonHeight};
}

int GaugePercent(const BenchRow& row) {
    return row.done ? 100 : std::clamp(row.stepPercent, 0, 100);
}

std::string CellText(const BenchRow& row, BenchColumn column) {
    switch (column) {
    case BenchColumn::Place:
        return row.place;
    case BenchColumn::Serial:
        return row.serial.empty() ? "-" : row.serial;
    case BenchColumn::Step:
        return row.done ? "" : row.step;
    case BenchColumn::Elapsed:
        return row.elapsed;
    case BenchColumn::Result:
        return row.done ? row.result : "";
    case BenchColumn::Gauge:
        return std::to_string(GaugePercent(row)) + "%";
    case BenchColumn::Log:
        return kBenchLogButton;
    }
    return {};
}

std::string StateText(const std::vector<BenchRow>& rows) {
    const auto done = static_cast<std::size_t>(
        std::count_if(rows.begin(), rows.end(), [](const BenchRow& r) { return r.done; }));
    const std::string of = " of " + std::to_string(rows.size()) + " boards";
    if (done < rows.size()) return std::to_string(rows.size() - done) + of + " running";
    const auto updated = std::count_if(rows.begin(), rows.end(),
                                       [](const BenchRow& r) { return r.result == "updated"; });
    std::string text = std::to_string(updated) + of + " updated";
    const auto failed = std::count_if(rows.begin(), rows.end(), [](const BenchRow& r) {
        return r.result.rfind("failed", 0) == 0;
    });
    const auto other = static_cast<long>(rows.size()) - updated - failed;
    if (failed > 0) text += ", " + std::to_string(failed) + " failed";
    if (other > 0) text += ", " + std::to_string(other) + " not updated";
    return text;
}

std::string CaptionNamingBoard(const std::string& caption, const BenchRow& row) {
    return caption + " - " + (row.serial.empty() ? row.place : row.serial + " at " + row.place);
}

} // namespace flashwell::ui::layout
