// The bench window of the native face: one row per board, built cell by cell from the layout both
// window faces share (ui/layout/bench_window_layout.h) with the system's own controls. Its
// questions go through the face's message boxes and SubID dialog; a row's "Log" shows that
// board's log in a window of its own.
#pragma once

#include "ui/layout/bench_window_layout.h"
#include "ui/win32/win32_ui.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace flashwell::ui {

struct Win32BenchOptions {
    // Closes the window by itself this many seconds after the run (unattended runs); none: the
    // window stays until it is closed.
    std::optional<double> closeAfter;
};

class Win32BenchWindow final : public layout::BenchWindow {
public:
    // `asker` shows the questions.
    explicit Win32BenchWindow(Win32Ui& asker, Win32BenchOptions options = {});
    ~Win32BenchWindow() override;
    Win32BenchWindow(const Win32BenchWindow&) = delete;
    Win32BenchWindow& operator=(const Win32BenchWindow&) = delete;

    void Open(std::function<std::vector<layout::BenchRow>()> rows) override;
    void WaitForEvents() override;
    void Wake() override;
    void RunUntilClosed() override;
    app::AppUi& Asker() override;

    // Brings every cell in line with the rows now.
    void Refresh();
    HWND Window() const { return window_; }
    // What a cell shows (the gauge: its percentage), and the line under the rows.
    std::string Text(std::size_t row, layout::BenchColumn column) const;
    std::string StateLineText() const;
    HWND LogButton(std::size_t row) const;
    HWND CloseButton() const { return close_; }
    // The window of the last log opened, and what it shows (nullptr and "" before any).
    HWND LogWindow() const { return logWindow_; }
    std::string LogText() const;

    // Called at every pass over the window's messages while the run goes on, and once when the
    // summary is on screen (from inside RunUntilClosed).
    std::function<void(Win32BenchWindow&)> onPass;
    std::function<void(Win32BenchWindow&)> onSummaryShown;

private:
    struct Row;
    static LRESULT CALLBACK BenchProc(HWND, UINT, WPARAM, LPARAM);
    static LRESULT CALLBACK LogProc(HWND, UINT, WPARAM, LPARAM);
    LRESULT OnMessage(HWND, UINT, WPARAM, LPARAM);
    void ShowLog(std::size_t row);
    bool Over() const;
    void PassMessages();

    Win32Ui& asker_;
    Win32BenchOptions options_;
    std::function<std::vector<layout::BenchRow>()> rows_;
    HINSTANCE instance_ = nullptr;
    HFONT font_ = nullptr;
    HWND window_ = nullptr;
    HWND state_ = nullptr;
    HWND close_ = nullptr;
    HWND logWindow_ = nullptr;
    HWND logEdit_ = nullptr;
    std::vector<Row> cells_;
    bool over_ = false;
};

} // namespace flashwell::ui
