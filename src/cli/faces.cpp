#include "cli/faces.h"

#ifdef FLASHWELL_HAVE_FLTK
#include "ui/fltk/fltk_bench_window.h"
#include "ui/fltk/fltk_ui.h"
#endif
#ifdef FLASHWELL_HAVE_WIN32_UI
#include "ui/win32/win32_bench_window.h"
#include "ui/win32/win32_ui.h"
#endif

#include <iostream>
#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define STDOUT_FILENO 1
#else
#include <unistd.h>
#endif

namespace flashwell::cli {

bool StandardOutputIsTerminal() {
    return isatty(STDOUT_FILENO) != 0;
}

namespace {

ui::ConsoleOptions ConsoleOptionsOf(const Invocation& invocation) {
    ui::ConsoleOptions options;
    options.yes = invocation.yes;
    options.revision = invocation.revision;
    options.interactive = StandardOutputIsTerminal();
    return options;
}

} // namespace

#if defined(FLASHWELL_HAVE_FLTK)
struct Faces::Window {
    explicit Window(ui::FltkOptions options) : ui(std::move(options)) {}
    ui::FltkUi ui;
};
#elif defined(FLASHWELL_HAVE_WIN32_UI)
struct Faces::Window {
    explicit Window(ui::Win32Options options) : ui(std::move(options)) {}
    ui::Win32Ui ui;
};
#else
struct Faces::Window {};
#endif

Faces::Faces(const Invocation& invocation, std::ostream& text)
    : console_(std::cin, text, ConsoleOptionsOf(invocation)), face_(&console_),
      yes_(invocation.yes) {
#ifdef FLASHWELL_HAVE_FLTK
    if (!invocation.console && ui::FltkDisplayAvailable()) {
        ui::FltkOptions options;
        // Long enough to read the box, short enough for unattended runs.
        if (invocation.yes) options.autoAnswerAfter = 0.5;
        options.revision = invocation.revision;
        window_ = std::make_unique<Window>(options);
        face_ = &window_->ui;
    }
#endif
#ifdef FLASHWELL_HAVE_WIN32_UI
    if (!invocation.console && ui::Win32DisplayAvailable()) {
        ui::Win32Options options;
        // Long enough to read the box, short enough for unattended runs.
        if (invocation.yes) options.autoAnswerAfter = 0.5;
        options.revision = invocation.revision;
        window_ = std::make_unique<Window>(options);
        face_ = &window_->ui;
        ui::HideOwnConsole();
    }
#endif
}

Faces::~Faces() = default;

bool Faces::Windowed() const {
    return window_ != nullptr;
}

void Faces::ShowSelection() {
    if (face_ == &console_) console_.ShowBoardLines();
#if defined(FLASHWELL_HAVE_FLTK) || defined(FLASHWELL_HAVE_WIN32_UI)
    if (window_) window_->ui.Sync();
#endif
}

void Faces::Update([[maybe_unused]] app::TForm1& form) {
#if defined(FLASHWELL_HAVE_FLTK) || defined(FLASHWELL_HAVE_WIN32_UI)
    if (window_) {
        window_->ui.Sync();
        // As in the terminal: one run, then the program ends with its outcome.
        window_->ui.Click(form.Button1);
        return;
    }
#endif
    console_.ShowBoardLines();
    form.Button1Click();
}

std::unique_ptr<ui::layout::BenchWindow> Faces::BenchWindow() {
#ifdef FLASHWELL_HAVE_FLTK
    if (window_) {
        ui::FltkBenchOptions options;
        // Unattended: the summary long enough to be read, then the program ends as on the
        // terminal.
        if (yes_) options.closeAfter = 3.0;
        return std::make_unique<ui::FltkBenchWindow>(window_->ui, options);
    }
#endif
#ifdef FLASHWELL_HAVE_WIN32_UI
    if (window_) {
        ui::Win32BenchOptions options;
        if (yes_) options.closeAfter = 3.0;
        return std::make_unique<ui::Win32BenchWindow>(window_->ui, options);
    }
#endif
    return nullptr;
}

void Faces::RunUntilClosed() {
#if defined(FLASHWELL_HAVE_FLTK) || defined(FLASHWELL_HAVE_WIN32_UI)
    if (window_) {
        window_->ui.Sync();
        window_->ui.Run();
        return;
    }
#endif
    console_.RunCommandLoop();
}

} // namespace flashwell::cli
