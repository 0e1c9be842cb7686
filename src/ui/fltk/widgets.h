// The few widgets the toolkit lacks for this window: plain labels that take their text
// literally, a captioned frame, a button that answers Enter, a percentage bar, message icons and
// a window that keeps a fixed client size.
#pragma once

#include "platform/ui_port.h"

#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Widget.H>

#include <functional>
#include <string>

namespace flashwell::ui::fltk {

// A single- or multi-line text at the top left of its box. Product names and log lines may hold
// '@' or '&', which the toolkit's own labels would read as symbols or shortcuts.
class TextLabel : public Fl_Widget {
public:
    TextLabel(int x, int y, int w, int h);
    void SetText(const std::string& utf8);
    const std::string& Text() const { return text_; }
    // Width and height the text needs in the label's font.
    void Measure(int& w, int& h) const;

protected:
    void draw() override;

private:
    std::string text_;
};

// A frame with its caption on the top line.
class CaptionFrame : public Fl_Group {
public:
    CaptionFrame(int x, int y, int w, int h);
    void SetCaption(const std::string& utf8);

protected:
    void draw() override;

private:
    std::string caption_;
};

// The button Enter clicks, marked with a return arrow and a darker rim.
class DefaultButton : public Fl_Button {
public:
    DefaultButton(int x, int y, int w, int h);
    int handle(int event) override;
    // Width and height of the return arrow at the button's right end.
    int ArrowSize() const;

protected:
    void draw() override;
};

// A round selection mark drawn as a circle at any size (the toolkit's own turns into a diamond
// at small sizes).
class RadioButton : public Fl_Button {
public:
    RadioButton(int x, int y, int w, int h);

protected:
    void draw() override;
};

// A horizontal bar without border that shows its percentage as text.
class PercentBar : public Fl_Widget {
public:
    PercentBar(int x, int y, int w, int h);
    // True when something visible changed.
    bool SetPercent(int percent);
    int Percent() const { return percent_; }

protected:
    void draw() override;

private:
    int percent_ = 0;
};

class MessageIcon : public Fl_Widget {
public:
    MessageIcon(int x, int y, platform::MessageKind kind);

protected:
    void draw() override;

private:
    platform::MessageKind kind_;
};

// A window whose size is decided by its owner: every resize asks `onResize` and snaps back to
// what it answers.
class FixedWindow : public Fl_Double_Window {
public:
    FixedWindow(int w, int h, const char* title);
    void resize(int x, int y, int w, int h) override;
    // Has been drawn on screen at least once.
    bool Drawn() const { return drawn_; }

    std::function<void(int& w, int& h)> onResize;

protected:
    void draw() override;

private:
    bool inResize_ = false;
    bool drawn_ = false;
};

} // namespace flashwell::ui::fltk
