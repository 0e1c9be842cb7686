// The face the program shows: a window where a display can be opened (FLTK on Linux desktops,
// the native one on Windows) unless the terminal is asked for, the terminal otherwise. A new face
// is one more branch here.
#pragma once

#include "app/app_ui.h"
#include "app/main_form.h"
#include "cli/invocation.h"
#include "ui/console/console_ui.h"
#include "ui/layout/bench_window_layout.h"

#include <iosfwd>
#include <memory>

namespace flashwell::cli {

// Whether standard output is a terminal (rows rewritten in place) or a pipe or file.
bool StandardOutputIsTerminal();

class Faces {
public:
    // `text`: where the terminal writes (standard error when standard output carries JSON).
    Faces(const Invocation& invocation, std::ostream& text);
    ~Faces();
    Faces(const Faces&) = delete;
    Faces& operator=(const Faces&) = delete;

    app::AppUi& Face() { return *face_; }
    bool Windowed() const;
    // After the program chose a board line: the face shows it.
    void ShowSelection();
    // "Update" clicked once, the run to its end; or the face's own loop until it is closed.
    void Update(app::TForm1& form);
    void RunUntilClosed();
    // The window a bench is shown in, where the face is a window that has one; nullptr otherwise
    // (the bench then takes the terminal).
    std::unique_ptr<ui::layout::BenchWindow> BenchWindow();

private:
    struct Window;
    ui::ConsoleUi console_;
    std::unique_ptr<Window> window_;
    app::AppUi* face_ = nullptr;
    [[maybe_unused]] bool yes_ = false;
};

} // namespace flashwell::cli
