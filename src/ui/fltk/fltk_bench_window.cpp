#include "ui/fltk/fltk_bench_window.h"

#include "ui/fltk/text.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "ui/fltk/fltk_internal.h"

namespace flashwell::ui {

using fltk::Action;
using fltk::kButtonFace;
using fltk::RunAction;
using layout::BenchColumn;
using layout::BenchRow;
using layout::BenchWindowLayout;
using layout::Cell;

namespace {

// Every text cell but the gauge and the button.
constexpr std::array<BenchColumn, 5> kTextColumns{BenchColumn::Place, BenchColumn::Serial,
                                                  BenchColumn::Step, BenchColumn::Elapsed,
                                                  BenchColumn::Result};

// Texts sit a little below the top of their cell, level with the buttons' captions.
constexpr int kTextInset = 5;

// How long the window waits for something to happen before it looks at the rows again.
constexpr double kLongestWait = 0.1;

void RefreshBeforeWaiting(void* data) {
    static_cast<FltkBenchWindow*>(data)->Refresh();
}

} // namespace

struct FltkBenchWindow::Widgets {
    struct Row {
        std::array<fltk::TextLabel*, kTextColumns.size()> texts{};
        Fl_Progress* gauge = nullptr;
        Fl_Button* log = nullptr;
        std::string logPath;
        int percent = -1;
    };
    std::unique_ptr<Fl_Double_Window> window;
    std::vector<Row> rows;
    fltk::TextLabel* state = nullptr;
    Fl_Button* close = nullptr;
    std::deque<Action> actions;
    Action onWindow;
    // The log shown last; the buffer outlives the display that shows it.
    std::unique_ptr<Fl_Text_Buffer> logBuffer;
    std::unique_ptr<Fl_Double_Window> logWindow;
    Action onLogWindow;

    Action* Keep(Action action) {
        actions.push_back(std::move(action));
        return &actions.back();
    }
};

FltkBenchWindow::FltkBenchWindow(FltkUi& asker, FltkBenchOptions options)
    : asker_(asker), options_(options) {}

FltkBenchWindow::~FltkBenchWindow() {
    Fl::remove_check(RefreshBeforeWaiting, this);
    if (widgets_) {
        if (widgets_->logWindow) widgets_->logWindow->hide();
        widgets_->window->hide();
    }
    widgets_.reset();
    Fl::check();
    if (locked_) Fl::unlock();
}

void FltkBenchWindow::Open(std::function<std::vector<BenchRow>()> rows) {
    rows_ = std::move(rows);
    const std::vector<BenchRow> now = rows_();
    const BenchWindowLayout layout(now.size());
    const int font = options_.fontSize;
    widgets_ = std::make_unique<Widgets>();
    Widgets& w = *widgets_;

    // The lanes wake the window from their own threads; the toolkit takes that only once its
    // lock is in use.
    if (!locked_) {
        Fl::lock();
        locked_ = true;
    }
    Fl_Group::current(nullptr);
    w.window = std::make_unique<Fl_Double_Window>(layout.ClientWidth(), layout.ClientHeight());
    w.window->copy_label(layout::kBenchTitle);
    w.window->color(kButtonFace);
    w.window->begin();
    const auto label = [&](const Cell& c, int inset) {
        auto* t = new fltk::TextLabel(c.left, c.top + inset, c.width, c.height - inset);
        fltk::StyleText(*t, font);
        t->color(kButtonFace);
        return t;
    };
    for (const layout::ColumnDefinition& column : BenchWindowLayout::Columns())
        if (*column.heading != '\0') {
            fltk::TextLabel* heading = label(layout.Heading(column.column), 0);
            heading->labelfont(FL_HELVETICA_BOLD);
            heading->SetText(column.heading);
        }
    for (std::size_t r = 0; r < now.size(); ++r) {
        Widgets::Row row;
        for (std::size_t c = 0; c < kTextColumns.size(); ++c)
            row.texts[c] = label(layout.At(r, kTextColumns[c]), kTextInset);
        const Cell g = layout.At(r, BenchColumn::Gauge);
        row.gauge = new Fl_Progress(g.left, g.top + 2, g.width, g.height - 4);
        row.gauge->minimum(0);
        row.gauge->maximum(100);
        row.gauge->color(FL_WHITE);
        row.gauge->selection_color(fltk::kHighlight);
        fltk::StyleText(*row.gauge, font);
        const Cell l = layout.At(r, BenchColumn::Log);
        row.log = new Fl_Button(l.left, l.top, l.width, l.height);
        fltk::StyleText(*row.log, font);
        row.log->label(layout::kBenchLogButton);
        row.log->callback(RunAction, w.Keep([this, r] { ShowLog(r); }));
        row.log->deactivate();
        w.rows.push_back(row);
    }
    w.state = label(layout.StateLine(), kTextInset);
    const Cell c = layout.CloseButton();
    w.close = new Fl_Button(c.left, c.top, c.width, c.height);
    fltk::StyleText(*w.close, font);
    w.close->label(layout::kBenchCloseButton);
    w.close->callback(RunAction, w.Keep([this] { widgets_->window->hide(); }));
    // Closing while boards are written would leave them half done: only the summary closes.
    w.close->deactivate();
    w.window->end();
    w.onWindow = [this] {
        if (widgets_->close->active()) widgets_->window->hide();
    };
    w.window->callback(RunAction, &w.onWindow);

    fltk::CentreOnScreen(*w.window);
    w.window->show();
    Refresh();
    Fl::add_check(RefreshBeforeWaiting, this);
    Fl::flush();
}

void FltkBenchWindow::Refresh() {
    if (!widgets_ || !rows_) return;
    Widgets& w = *widgets_;
    const std::vector<BenchRow> rows = rows_();
    for (std::size_t r = 0; r < rows.size() && r < w.rows.size(); ++r) {
        Widgets::Row& row = w.rows[r];
        for (std::size_t c = 0; c < kTextColumns.size(); ++c)
            row.texts[c]->SetText(fltk::Utf8FromCp1252(layout::CellText(rows[r], kTextColumns[c])));
        const int percent = layout::GaugePercent(rows[r]);
        if (percent != row.percent) {
            row.percent = percent;
            row.gauge->value(static_cast<float>(percent));
            row.gauge->copy_label(layout::CellText(rows[r], BenchColumn::Gauge).c_str());
        }
        // A failed board's result stands out in red.
        const Fl_Color resultColour =
            rows[r].done && rows[r].result != "updated" ? FL_RED : FL_FOREGROUND_COLOR;
        fltk::TextLabel* result = row.texts[kTextColumns.size() - 1];
        if (result->labelcolor() != resultColour) {
            result->labelcolor(resultColour);
            result->redraw();
        }
        row.logPath = rows[r].log;
        if (!row.logPath.empty() && !row.log->active()) row.log->activate();
    }
    w.state->SetText(layout::StateText(rows));
    const bool over =
        std::all_of(rows.begin(), rows.end(), [](const BenchRow& r) { return r.done; });
    if (over && !w.close->active()) w.close->activate();
}

void FltkBenchWindow::WaitForEvents() {
    if (!widgets_) return;
    Fl::wait(kLongestWait);
    if (onPass) onPass(*this);
}

void FltkBenchWindow::Wake() {
    Fl::awake();
}

void FltkBenchWindow::RunUntilClosed() {
    if (!widgets_) return;
    Refresh();
    widgets_->close->activate();
    Fl::flush();
    Action summaryShown = [this] {
        if (onSummaryShown) onSummaryShown(*this);
    };
    Action closeNow = [this] {
        if (widgets_->logWindow) widgets_->logWindow->hide();
        widgets_->window->hide();
    };
    Fl::add_timeout(0.0, fltk::RunTimedAction, &summaryShown);
    if (options_.closeAfter) Fl::add_timeout(*options_.closeAfter, fltk::RunTimedAction, &closeNow);
    while (widgets_->window->shown())
        Fl::wait();
    Fl::remove_timeout(fltk::RunTimedAction, &summaryShown);
    Fl::remove_timeout(fltk::RunTimedAction, &closeNow);
    if (widgets_->logWindow) widgets_->logWindow->hide();
}

app::AppUi& FltkBenchWindow::Asker() {
    return asker_;
}

void FltkBenchWindow::ShowLog(std::size_t row) {
    Widgets& w = *widgets_;
    const std::string& path = w.rows.at(row).logPath;
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    const std::string place = w.rows[row].texts[0]->Text();

    // One log window at a time, the last one asked for.
    if (w.logWindow) w.logWindow->hide();
    w.logWindow.reset();
    w.logBuffer = std::make_unique<Fl_Text_Buffer>();
    w.logBuffer->text(
        fltk::Utf8FromCp1252(file ? text.str() : "The log " + path + " cannot be read.").c_str());
    Fl_Group::current(nullptr);
    w.logWindow = std::make_unique<Fl_Double_Window>(640, 400);
    w.logWindow->copy_label(("Log of " + place + " - " + path).c_str());
    w.logWindow->begin();
    auto* display = new Fl_Text_Display(0, 0, 640, 400);
    display->buffer(w.logBuffer.get());
    display->textfont(FL_COURIER);
    display->textsize(options_.fontSize + 1);
    w.logWindow->resizable(display);
    w.logWindow->end();
    w.onLogWindow = [&w] { w.logWindow->hide(); };
    w.logWindow->callback(RunAction, &w.onLogWindow);
    w.logWindow->position(w.window->x() + 24, w.window->y() + 24);
    w.logWindow->show();
}

Fl_Double_Window* FltkBenchWindow::Window() const {
    return widgets_ ? widgets_->window.get() : nullptr;
}

std::string FltkBenchWindow::Text(std::size_t row, BenchColumn column) const {
    if (!widgets_ || row >= widgets_->rows.size()) return {};
    const Widgets::Row& r = widgets_->rows[row];
    if (column == BenchColumn::Gauge) return r.gauge->label() != nullptr ? r.gauge->label() : "";
    if (column == BenchColumn::Log) return r.log->label();
    for (std::size_t c = 0; c < kTextColumns.size(); ++c)
        if (kTextColumns[c] == column) return r.texts[c]->Text();
    return {};
}

std::string FltkBenchWindow::StateLineText() const {
    return widgets_ ? widgets_->state->Text() : std::string();
}

Fl_Button* FltkBenchWindow::LogButton(std::size_t row) const {
    return widgets_ && row < widgets_->rows.size() ? widgets_->rows[row].log : nullptr;
}

Fl_Button* FltkBenchWindow::CloseButton() const {
    return widgets_ ? widgets_->close : nullptr;
}

Fl_Double_Window* FltkBenchWindow::LogWindow() const {
    return widgets_ ? widgets_->logWindow.get() : nullptr;
}

std::string FltkBenchWindow::LogText() const {
    if (!widgets_ || !widgets_->logBuffer) return {};
    char* text = widgets_->logBuffer->text();
    std::string out = text;
    std::free(text);
    return out;
}

} // namespace flashwell::ui
