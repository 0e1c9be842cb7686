// What the FLTK face's windows share inside the face: the callbacks that run stored actions,
// the colours and text style of the layout, and the main window's widgets.
#pragma once

#include "ui/fltk/fltk_ui.h"
#include "ui/fltk/widgets.h"
#include "ui/layout/main_window_layout.h"

#include <deque>
#include <functional>
#include <optional>

#include "ui/fltk/fl_headers.h"

namespace flashwell::ui {

namespace fltk {

using Action = std::function<void()>;

inline void RunAction(Fl_Widget*, void* data) {
    (*static_cast<Action*>(data))();
}
inline void RunTimedAction(void* data) {
    (*static_cast<Action*>(data))();
}

inline const Fl_Color kButtonFace = fl_rgb_color(240, 240, 240);
inline const Fl_Color kHighlight = fl_rgb_color(0, 120, 215);

// Escape reaches a window as its callback; a close request from the window manager too.
inline bool EscapePressed() {
    return Fl::event() != FL_CLOSE && Fl::event_key() == FL_Escape;
}

inline void CentreOnScreen(Fl_Window& window) {
    int sx = 0, sy = 0, sw = 0, sh = 0;
    Fl::screen_xywh(sx, sy, sw, sh, 0);
    window.position(sx + (sw - window.w()) / 2, sy + (sh - window.h()) / 2);
}

inline void StyleText(Fl_Widget& widget, int fontSize) {
    widget.labelfont(FL_HELVETICA);
    widget.labelsize(fontSize);
}

// A modal window (or chooser) on screen until it hides itself: `shown` runs once from inside its
// loop, `answer` after `answerAfter` seconds when that is given.
template <typename Window>
void RunModal(Window& window, Action& shown, std::optional<double> answerAfter, Action& answer) {
    if (shown) Fl::add_timeout(0.0, RunTimedAction, &shown);
    if (answerAfter) Fl::add_timeout(*answerAfter, RunTimedAction, &answer);
    while (window.shown())
        Fl::wait();
    Fl::remove_timeout(RunTimedAction, &shown);
    Fl::remove_timeout(RunTimedAction, &answer);
}

} // namespace fltk

struct FltkUi::Widgets {
    enum class Kind { Label, Frame, Button, Toggle };
    struct Binding {
        const app::Control* model;
        Fl_Widget* widget;
        Kind kind;
        std::string caption;
        bool captionShown = false;
        // Labels take the width of their text.
        bool autoWidth = false;
    };

    // Declared before the window so that the display goes first.
    std::unique_ptr<Fl_Text_Buffer> buffer;
    std::unique_ptr<fltk::FixedWindow> window;
    std::vector<Binding> bindings;
    std::deque<fltk::Action> actions;
    fltk::Action onWindowCallback;
    fltk::PercentBar* gauge1 = nullptr;
    fltk::PercentBar* gauge2 = nullptr;
    std::array<fltk::TextLabel*, 4> panelTexts{};
    Fl_Text_Display* memo = nullptr;
    Fl_Menu_Button* contextMenu = nullptr;
    std::size_t memoLines = 0;
    std::string title;

    fltk::Action* Keep(fltk::Action action) {
        actions.push_back(std::move(action));
        return &actions.back();
    }
    const Binding* Find(const app::Control& control) const {
        for (const Binding& b : bindings)
            if (b.model == &control) return &b;
        return nullptr;
    }
};

} // namespace flashwell::ui
