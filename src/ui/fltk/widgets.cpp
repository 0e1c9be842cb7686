#include "ui/fltk/widgets.h"

#include <FL/Fl.H>
#include <FL/fl_draw.H>

#include <algorithm>

namespace flashwell::ui::fltk {

namespace {

// A widget redraws only when what it shows really changed.
bool Replace(std::string& shown, const std::string& utf8) {
    if (utf8 == shown) return false;
    shown = utf8;
    return true;
}

} // namespace

TextLabel::TextLabel(int x, int y, int w, int h) : Fl_Widget(x, y, w, h) {
    box(FL_FLAT_BOX);
}

void TextLabel::SetText(const std::string& utf8) {
    if (Replace(text_, utf8)) redraw();
}

void TextLabel::Measure(int& w, int& h) const {
    fl_font(labelfont(), labelsize());
    w = 0;
    h = 0;
    if (!text_.empty()) fl_measure(text_.c_str(), w, h, 0);
}

void TextLabel::draw() {
    draw_box(box(), color());
    fl_font(labelfont(), labelsize());
    fl_color(active_r() ? labelcolor() : fl_inactive(labelcolor()));
    fl_draw(text_.c_str(), x(), y(), w(), h(), FL_ALIGN_TOP_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP,
            nullptr, 0);
}

CaptionFrame::CaptionFrame(int x, int y, int w, int h) : Fl_Group(x, y, w, h) {
    box(FL_FLAT_BOX);
}

void CaptionFrame::SetCaption(const std::string& utf8) {
    if (Replace(caption_, utf8)) redraw();
}

void CaptionFrame::draw() {
    if (damage() & ~FL_DAMAGE_CHILD) {
        draw_box(FL_FLAT_BOX, x(), y(), w(), h(), color());
        fl_font(labelfont(), labelsize());
        const int textHeight = fl_height();
        const int lineY = y() + textHeight / 2;
        draw_box(FL_ENGRAVED_FRAME, x(), lineY, w(), h() - (lineY - y()), color());
        if (!caption_.empty()) {
            const int textWidth = static_cast<int>(fl_width(caption_.c_str()));
            fl_color(color());
            fl_rectf(x() + 6, y(), textWidth + 4, textHeight);
            fl_color(labelcolor());
            fl_draw(caption_.c_str(), x() + 8, y() + textHeight - fl_descent());
        }
    }
    draw_children();
}

DefaultButton::DefaultButton(int x, int y, int w, int h) : Fl_Button(x, y, w, h) {}

int DefaultButton::handle(int event) {
    if (event == FL_SHORTCUT && (Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter)) {
        do_callback();
        return 1;
    }
    return Fl_Button::handle(event);
}

int DefaultButton::ArrowSize() const {
    return std::max(6, std::min({h() - 10, w() / 5, 12}));
}

void DefaultButton::draw() {
    if (type() == FL_HIDDEN_BUTTON) return;
    const bool down = value() != 0;
    draw_box(down ? (down_box() ? down_box() : fl_down(box())) : box(),
             down ? selection_color() : color());
    // The mark of the button Enter presses, as the toolkit's return buttons carry it: a return
    // arrow at the right end, the caption centred in what is left.
    const int s = ArrowSize();
    const int ax = x() + w() - s - 7, ay = y() + (h() - s) / 2;
    const int row = ay + s * 2 / 3;
    fl_color(active_r() ? labelcolor() : fl_inactive(labelcolor()));
    fl_line_style(FL_SOLID, 2);
    fl_line(ax + s, ay + 1, ax + s, row);
    fl_line(ax + s, row, ax + 4, row);
    fl_line_style(0);
    fl_polygon(ax, row, ax + 5, row - 4, ax + 5, row + 4);
    draw_label(x(), y(), w() - s - 6, h());
    fl_color(active_r() ? FL_BLACK : fl_inactive(FL_BLACK));
    fl_rect(x(), y(), w(), h());
    if (Fl::focus() == this) draw_focus();
}

RadioButton::RadioButton(int x, int y, int w, int h) : Fl_Button(x, y, w, h) {
    type(FL_TOGGLE_BUTTON);
    box(FL_FLAT_BOX);
    align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
}

void RadioButton::draw() {
    draw_box(FL_FLAT_BOX, color());
    constexpr int kMark = 13;
    const int mx = x() + 1, my = y() + (h() - kMark) / 2;
    const bool on = active_r() != 0;
    fl_color(on ? FL_WHITE : color());
    fl_pie(mx, my, kMark, kMark, 0, 360);
    fl_color(on ? fl_rgb_color(110, 110, 110) : fl_inactive(fl_rgb_color(110, 110, 110)));
    fl_arc(mx, my, kMark, kMark, 0, 360);
    if (value()) {
        fl_color(on ? FL_BLACK : fl_inactive(FL_BLACK));
        fl_pie(mx + 4, my + 4, kMark - 8, kMark - 8, 0, 360);
    }
    draw_label(x() + kMark + 5, y(), w() - kMark - 5, h(), FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
    if (Fl::focus() == this) draw_focus(FL_FLAT_BOX, x() + kMark + 3, y(), w() - kMark - 3, h());
}

PercentBar::PercentBar(int x, int y, int w, int h) : Fl_Widget(x, y, w, h) {
    box(FL_FLAT_BOX);
}

bool PercentBar::SetPercent(int percent) {
    percent = std::clamp(percent, 0, 100);
    if (percent == percent_) return false;
    percent_ = percent;
    redraw();
    return true;
}

void PercentBar::draw() {
    draw_box(FL_FLAT_BOX, x(), y(), w(), h(), color());
    const int filled = w() * percent_ / 100;
    fl_color(selection_color());
    fl_rectf(x(), y(), filled, h());
    const std::string text = std::to_string(percent_) + "%";
    fl_font(labelfont(), labelsize());
    // The text changes colour where the bar has reached it, so it stays readable over both.
    fl_push_clip(x() + filled, y(), w() - filled, h());
    fl_color(labelcolor());
    fl_draw(text.c_str(), x(), y(), w(), h(), FL_ALIGN_CENTER, nullptr, 0);
    fl_pop_clip();
    fl_push_clip(x(), y(), filled, h());
    fl_color(FL_WHITE);
    fl_draw(text.c_str(), x(), y(), w(), h(), FL_ALIGN_CENTER, nullptr, 0);
    fl_pop_clip();
}

MessageIcon::MessageIcon(int x, int y, platform::MessageKind kind)
    : Fl_Widget(x, y, 32, 32), kind_(kind) {}

void MessageIcon::draw() {
    const int X = x(), Y = y();
    const char* mark = nullptr;
    switch (kind_) {
    case platform::MessageKind::Warning:
        fl_color(fl_rgb_color(250, 200, 30));
        fl_polygon(X + 16, Y + 1, X + 31, Y + 29, X + 1, Y + 29);
        fl_color(FL_BLACK);
        fl_loop(X + 16, Y + 1, X + 31, Y + 29, X + 1, Y + 29);
        mark = "!";
        break;
    case platform::MessageKind::Confirmation:
        fl_color(fl_rgb_color(30, 90, 200));
        fl_pie(X, Y, 32, 32, 0, 360);
        fl_color(FL_WHITE);
        mark = "?";
        break;
    case platform::MessageKind::Error:
        fl_color(fl_rgb_color(210, 30, 30));
        fl_pie(X, Y, 32, 32, 0, 360);
        fl_color(FL_WHITE);
        fl_line_style(FL_SOLID, 3);
        fl_line(X + 10, Y + 10, X + 22, Y + 22);
        fl_line(X + 22, Y + 10, X + 10, Y + 22);
        fl_line_style(0);
        return;
    case platform::MessageKind::Plain:
        return;
    }
    fl_font(FL_HELVETICA_BOLD, 20);
    fl_draw(mark, X, Y + (kind_ == platform::MessageKind::Warning ? 6 : 0), 32, 32, FL_ALIGN_CENTER,
            nullptr, 0);
}

FixedWindow::FixedWindow(int w, int h, const char* title) : Fl_Double_Window(w, h, title) {}

void FixedWindow::resize(int x, int y, int w, int h) {
    Fl_Double_Window::resize(x, y, w, h);
    if (!onResize || inResize_) return;
    inResize_ = true;
    int wantW = w, wantH = h;
    onResize(wantW, wantH);
    if (wantW != this->w() || wantH != this->h()) Fl_Double_Window::resize(x, y, wantW, wantH);
    inResize_ = false;
}

void FixedWindow::draw() {
    Fl_Double_Window::draw();
    drawn_ = true;
}

} // namespace flashwell::ui::fltk
