// The bench window of the FLTK face: one row per board, built cell by cell from the layout both
// window faces share (ui/layout/bench_window_layout.h). Its questions go through the face's own
// message boxes and SubID dialog; a row's "Log" shows that board's log in a window of its own.
#pragma once

#include "ui/fltk/fltk_ui.h"
#include "ui/layout/bench_window_layout.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class Fl_Button;
class Fl_Double_Window;
class Fl_Text_Display;

namespace flashwell::ui {

struct FltkBenchOptions {
    int fontSize = 10;
    // Closes the window by itself this many seconds after the run (unattended runs); none: the
    // window stays until it is closed.
    std::optional<double> closeAfter;
};

class FltkBenchWindow final : public layout::BenchWindow {
public:
    // Needs the display: check FltkDisplayAvailable() first. `asker` shows the questions.
    FltkBenchWindow(FltkUi& asker, FltkBenchOptions options = {});
    ~FltkBenchWindow() override;
    FltkBenchWindow(const FltkBenchWindow&) = delete;
    FltkBenchWindow& operator=(const FltkBenchWindow&) = delete;

    void Open(std::function<std::vector<layout::BenchRow>()> rows) override;
    void WaitForEvents() override;
    void Wake() override;
    void RunUntilClosed() override;
    app::AppUi& Asker() override;

    // Brings every cell in line with the rows now.
    void Refresh();
    Fl_Double_Window* Window() const;
    // What a cell shows (the gauge: its percentage), and the line under the rows.
    std::string Text(std::size_t row, layout::BenchColumn column) const;
    std::string StateLineText() const;
    Fl_Button* LogButton(std::size_t row) const;
    Fl_Button* CloseButton() const;
    // The window of the last log opened, and what it shows (nullptr and "" before any).
    Fl_Double_Window* LogWindow() const;
    std::string LogText() const;

    // Called on the window's thread at every pass over its events while the run goes on, and
    // once when the summary is on screen (from inside RunUntilClosed).
    std::function<void(FltkBenchWindow&)> onPass;
    std::function<void(FltkBenchWindow&)> onSummaryShown;

private:
    struct Widgets;
    void ShowLog(std::size_t row);

    FltkUi& asker_;
    FltkBenchOptions options_;
    std::function<std::vector<layout::BenchRow>()> rows_;
    std::unique_ptr<Widgets> widgets_;
    bool locked_ = false;
};

} // namespace flashwell::ui
