#include "ui/win32/win32_bench_window.h"

#include "ui/layout/main_window_layout.h"
#include "ui/win32/win32_internal.h"

#include <commctrl.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <sstream>

namespace flashwell::ui {

using layout::BenchColumn;
using layout::BenchRow;
using layout::BenchWindowLayout;
using layout::Cell;
using namespace win32;

namespace {

constexpr const char* kBenchClass = "FlashwellBenchWindow";
constexpr const char* kLogClass = "FlashwellBenchLog";

// Every text cell but the gauge and the button.
constexpr std::array<BenchColumn, 5> kTextColumns{BenchColumn::Place, BenchColumn::Serial,
                                                  BenchColumn::Step, BenchColumn::Elapsed,
                                                  BenchColumn::Result};

constexpr int kIdBenchClose = 1200;
constexpr int kIdBenchLog = 1300; // + row
// The rows are looked at again this often, message boxes and the SubID dialog open or not: the
// system's modal loops hand timers on.
constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT_PTR kCloseTimer = 2;
constexpr UINT kRefreshMilliseconds = 100;
// Posted by the lanes' threads to wake the window's, and by the window to itself once the
// summary is on screen.
constexpr UINT kWakeMessage = WM_APP + 10;
constexpr UINT kSummaryShownMessage = WM_APP + 11;

// Texts sit a little below the top of their cell, level with the buttons' captions.
constexpr int kTextInset = 5;

std::string WindowText(HWND hwnd) {
    if (hwnd == nullptr) return {};
    std::string text(static_cast<std::size_t>(GetWindowTextLengthA(hwnd)) + 1, '\0');
    text.resize(
        static_cast<std::size_t>(GetWindowTextA(hwnd, text.data(), static_cast<int>(text.size()))));
    return text;
}

void SetTextIfChanged(HWND hwnd, const std::string& text) {
    if (WindowText(hwnd) != text) SetWindowTextA(hwnd, text.c_str());
}

// The log as an edit control wants it: CR LF between lines.
std::string WithCrLf(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    return out;
}

} // namespace

struct Win32BenchWindow::Row {
    std::array<HWND, kTextColumns.size()> texts{};
    HWND gauge = nullptr;
    HWND log = nullptr;
    std::string logPath;
    int percent = -1;
};

Win32BenchWindow::Win32BenchWindow(Win32Ui& asker, Win32BenchOptions options)
    : asker_(asker), options_(options), instance_(GetModuleHandleA(nullptr)) {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
    font_ = MakeLayoutFont();
    WNDCLASSEXA wc = FaceWindowClass(instance_, BenchProc, kBenchClass);
    RegisterOnce(wc);
    wc.lpfnWndProc = LogProc;
    wc.lpszClassName = kLogClass;
    RegisterOnce(wc);
}

Win32BenchWindow::~Win32BenchWindow() {
    if (logWindow_ != nullptr) DestroyWindow(logWindow_);
    if (window_ != nullptr) DestroyWindow(window_);
    if (font_ != nullptr && font_ != GetStockObject(DEFAULT_GUI_FONT)) DeleteObject(font_);
}

void Win32BenchWindow::Open(std::function<std::vector<BenchRow>()> rows) {
    rows_ = std::move(rows);
    const std::vector<BenchRow> now = rows_();
    const BenchWindowLayout layout(now.size());
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    const RECT frame = CentredFrame(layout.ClientWidth(), layout.ClientHeight(), style, 0);
    window_ = CreateWindowExA(0, kBenchClass, layout::kBenchTitle, style, frame.left, frame.top,
                              frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                              instance_, this);
    const auto make = [&](const char* cls, const char* text, DWORD more, const Cell& c, int inset,
                          int id) {
        HWND hwnd =
            CreateWindowExA(0, cls, text, WS_CHILD | WS_VISIBLE | more, c.left, c.top + inset,
                            c.width, c.height - inset, window_, ControlId(id), instance_, nullptr);
        SendMessageA(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
        return hwnd;
    };
    for (const layout::ColumnDefinition& column : BenchWindowLayout::Columns())
        if (*column.heading != '\0')
            make("STATIC", column.heading, SS_LEFT | SS_NOPREFIX, layout.Heading(column.column), 0,
                 0);
    cells_.clear();
    for (std::size_t r = 0; r < now.size(); ++r) {
        Row row;
        for (std::size_t c = 0; c < kTextColumns.size(); ++c)
            row.texts[c] = make("STATIC", "", SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS,
                                layout.At(r, kTextColumns[c]), kTextInset, 0);
        Cell g = layout.At(r, BenchColumn::Gauge);
        g.top += 2;
        g.height -= 4;
        row.gauge = make(PROGRESS_CLASSA, "", 0, g, 0, 0);
        SendMessageA(row.gauge, PBM_SETRANGE32, 0, 100);
        row.log = make("BUTTON", layout::kBenchLogButton, BS_PUSHBUTTON | WS_TABSTOP,
                       layout.At(r, BenchColumn::Log), 0, kIdBenchLog + static_cast<int>(r));
        EnableWindow(row.log, FALSE);
        cells_.push_back(row);
    }
    state_ = make("STATIC", "", SS_LEFT | SS_NOPREFIX, layout.StateLine(), kTextInset, 0);
    close_ = make("BUTTON", layout::kBenchCloseButton, BS_PUSHBUTTON | WS_TABSTOP,
                  layout.CloseButton(), 0, kIdBenchClose);
    // Closing while boards are written would leave them half done: only the summary closes.
    EnableWindow(close_, FALSE);
    Refresh();
    ShowWindow(window_, SW_SHOWNORMAL);
    UpdateWindow(window_);
    SetTimer(window_, kRefreshTimer, kRefreshMilliseconds, nullptr);
}

void Win32BenchWindow::Refresh() {
    if (window_ == nullptr || !rows_) return;
    const std::vector<BenchRow> rows = rows_();
    for (std::size_t r = 0; r < rows.size() && r < cells_.size(); ++r) {
        Row& row = cells_[r];
        for (std::size_t c = 0; c < kTextColumns.size(); ++c)
            SetTextIfChanged(row.texts[c], layout::CellText(rows[r], kTextColumns[c]));
        const int percent = layout::GaugePercent(rows[r]);
        if (percent != row.percent) {
            row.percent = percent;
            SendMessageA(row.gauge, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
        }
        row.logPath = rows[r].log;
        if (!row.logPath.empty() && !IsWindowEnabled(row.log)) EnableWindow(row.log, TRUE);
    }
    SetTextIfChanged(state_, layout::StateText(rows));
    over_ = std::all_of(rows.begin(), rows.end(), [](const BenchRow& r) { return r.done; });
    if (over_ && !IsWindowEnabled(close_)) EnableWindow(close_, TRUE);
}

void Win32BenchWindow::PassMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        if (window_ != nullptr && IsDialogMessageA(window_, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

void Win32BenchWindow::WaitForEvents() {
    if (window_ == nullptr) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, kRefreshMilliseconds, QS_ALLINPUT);
    PassMessages();
    Refresh();
    if (onPass) onPass(*this);
}

void Win32BenchWindow::Wake() {
    if (window_ != nullptr) PostMessageA(window_, kWakeMessage, 0, 0);
}

void Win32BenchWindow::RunUntilClosed() {
    if (window_ == nullptr) return;
    Refresh();
    over_ = true;
    EnableWindow(close_, TRUE);
    PostMessageA(window_, kSummaryShownMessage, 0, 0);
    if (options_.closeAfter)
        SetTimer(window_, kCloseTimer, Milliseconds(*options_.closeAfter), nullptr);
    MSG msg;
    while (window_ != nullptr && GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (IsDialogMessageA(window_, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

app::AppUi& Win32BenchWindow::Asker() {
    return asker_;
}

LRESULT CALLBACK Win32BenchWindow::BenchProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = Receiver<Win32BenchWindow>(hwnd, msg, lp);
    return self != nullptr ? self->OnMessage(hwnd, msg, wp, lp) : DefWindowProcA(hwnd, msg, wp, lp);
}

LRESULT Win32BenchWindow::OnMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_TIMER:
        if (wp == kRefreshTimer) Refresh();
        if (wp == kCloseTimer) {
            KillTimer(hwnd, kCloseTimer);
            DestroyWindow(hwnd);
        }
        return 0;
    case kWakeMessage:
        return 0;
    case kSummaryShownMessage:
        if (onSummaryShown) onSummaryShown(*this);
        return 0;
    case WM_COMMAND: {
        const int id = LOWORD(wp);
        if (id == kIdBenchClose || id == IDCANCEL) {
            if (over_) DestroyWindow(hwnd);
        } else if (id >= kIdBenchLog && id < kIdBenchLog + static_cast<int>(cells_.size())) {
            ShowLog(static_cast<std::size_t>(id - kIdBenchLog));
        }
        return 0;
    }
    case WM_CLOSE:
        if (over_) DestroyWindow(hwnd);
        return 0;
    case WM_DESTROY:
        KillTimer(hwnd, kRefreshTimer);
        if (logWindow_ != nullptr) DestroyWindow(logWindow_);
        window_ = nullptr;
        return 0;
    default:
        return DefWindowProcA(hwnd, msg, wp, lp);
    }
}

LRESULT CALLBACK Win32BenchWindow::LogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = Receiver<Win32BenchWindow>(hwnd, msg, lp);
    switch (msg) {
    case WM_SIZE:
        if (self != nullptr && self->logEdit_ != nullptr)
            MoveWindow(self->logEdit_, 0, 0, LOWORD(lp), HIWORD(lp), TRUE);
        return 0;
    case WM_DESTROY:
        if (self != nullptr) {
            self->logWindow_ = nullptr;
            self->logEdit_ = nullptr;
        }
        return 0;
    default:
        return DefWindowProcA(hwnd, msg, wp, lp);
    }
}

void Win32BenchWindow::ShowLog(std::size_t row) {
    const std::string& path = cells_.at(row).logPath;
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    const std::string place = WindowText(cells_[row].texts[0]);

    // One log window at a time, the last one asked for.
    if (logWindow_ != nullptr) DestroyWindow(logWindow_);
    RECT at{};
    GetWindowRect(window_, &at);
    logWindow_ = CreateWindowExA(0, kLogClass, ("Log of " + place + " - " + path).c_str(),
                                 WS_OVERLAPPEDWINDOW, at.left + 24, at.top + 24, 640, 400, window_,
                                 nullptr, instance_, this);
    RECT client{};
    GetClientRect(logWindow_, &client);
    logEdit_ =
        CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", "",
                        WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE |
                            ES_READONLY | ES_AUTOVSCROLL,
                        0, 0, client.right, client.bottom, logWindow_, nullptr, instance_, nullptr);
    SendMessageA(logEdit_, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(ANSI_FIXED_FONT)),
                 FALSE);
    SendMessageA(logEdit_, EM_SETLIMITTEXT, 0, 0);
    const std::string shown = file ? WithCrLf(text.str()) : "The log " + path + " cannot be read.";
    SetWindowTextA(logEdit_, shown.c_str());
    // Owned by the bench window: in front of it, and gone with it.
    ShowWindow(logWindow_, SW_SHOWNORMAL);
    SetForegroundWindow(logWindow_);
    UpdateWindow(logWindow_);
}

std::string Win32BenchWindow::Text(std::size_t row, BenchColumn column) const {
    if (row >= cells_.size()) return {};
    const Row& r = cells_[row];
    if (column == BenchColumn::Gauge)
        return std::to_string(SendMessageA(r.gauge, PBM_GETPOS, 0, 0)) + "%";
    if (column == BenchColumn::Log) return WindowText(r.log);
    for (std::size_t c = 0; c < kTextColumns.size(); ++c)
        if (kTextColumns[c] == column) return WindowText(r.texts[c]);
    return {};
}

std::string Win32BenchWindow::StateLineText() const {
    return WindowText(state_);
}

HWND Win32BenchWindow::LogButton(std::size_t row) const {
    return row < cells_.size() ? cells_[row].log : nullptr;
}

std::string Win32BenchWindow::LogText() const {
    return WindowText(logEdit_);
}

} // namespace flashwell::ui
