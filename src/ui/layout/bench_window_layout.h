// The bench window as the window faces build it: one row per board, in columns that stand where
// this table puts them, a line for the run's state under the rows, and the window's size for any
// number of boards. A face makes its native controls cell by cell, so that both faces show one
// window; what the cells say comes from the bench's lanes through BenchRow.
#pragma once

#include "app/app_ui.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace flashwell::ui::layout {

// A board's row as the window shows it.
struct BenchRow {
    std::string place;
    std::string serial;  // empty until the block was read
    std::string step;    // the step running, in its check box's words
    int stepPercent = 0; // the gauge
    std::string elapsed;
    std::string result; // empty while the board's run goes on
    std::string log;    // the board's log file; empty until it has one
    bool done = false;
};

enum class BenchColumn { Place, Serial, Step, Gauge, Elapsed, Result, Log };
inline constexpr std::size_t kBenchColumns = 7;

struct Cell {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

struct ColumnDefinition {
    BenchColumn column;
    const char* heading; // empty: the column has no heading (the log buttons)
    int width;
};

class BenchWindowLayout {
public:
    explicit BenchWindowLayout(std::size_t rows);

    static const std::vector<ColumnDefinition>& Columns();
    std::size_t Rows() const { return rows_; }
    int ClientWidth() const;
    int ClientHeight() const;
    // The heading above a column, and a column's cell in a row (from 0).
    Cell Heading(BenchColumn column) const;
    Cell At(std::size_t row, BenchColumn column) const;
    // The line under the rows: the run's state while it goes on, the summary at its end.
    Cell StateLine() const;
    // The button that closes the window once the run is over.
    Cell CloseButton() const;

    static constexpr int kMargin = 8;
    static constexpr int kRowHeight = 23;
    static constexpr int kGap = 6;

private:
    int ColumnLeft(BenchColumn column) const;
    std::size_t rows_;
};

// The window's caption, the close button's, and the log buttons' captions.
inline constexpr const char* kBenchTitle = "Flashwell - bench";
inline constexpr const char* kBenchLogButton = "Log";
inline constexpr const char* kBenchCloseButton = "Close";

// What a row's cells say (the gauge: its percentage; the log button: its caption), and how full
// its gauge is (full once the board's run is over).
std::string CellText(const BenchRow& row, BenchColumn column);
int GaugePercent(const BenchRow& row);

// The line under the rows: how many boards are still running, or the summary once all are done
// ("4 of 4 boards updated", "3 of 4 boards updated, 1 failed").
std::string StateText(const std::vector<BenchRow>& rows);

// The caption of a box or of the SubID dialog when a lane of the bench asks: it names the board
// the question is about.
std::string CaptionNamingBoard(const std::string& caption, const BenchRow& row);

// What a face shows a bench in. The lanes run in threads of their own; everything here but
// Wake() is called from the thread that made the window, which alone draws and asks.
class BenchWindow {
public:
    virtual ~BenchWindow() = default;
    // Shows the window; from then on it takes its rows from `rows` whenever it handles events
    // (questions' boxes included), so that the rows go on while a lane asks.
    virtual void Open(std::function<std::vector<BenchRow>()> rows) = 0;
    // Handles what input is waiting, or waits until something happens (a click, a Wake()) or a
    // short while has passed.
    virtual void WaitForEvents() = 0;
    // Callable from any thread: WaitForEvents returns soon.
    virtual void Wake() = 0;
    // After the run: the summary stays in the window, each board's log a click away, until the
    // window is closed.
    virtual void RunUntilClosed() = 0;
    // The message boxes and the SubID dialog, over the bench window.
    virtual app::AppUi& Asker() = 0;
};

} // namespace flashwell::ui::layout
