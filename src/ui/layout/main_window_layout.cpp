#include "ui/layout/main_window_layout.h"

#include "app/main_form.h"

#include <string>

namespace flashwell::ui::layout {

MainWindowLayout::MainWindowLayout(app::TForm1& f) {
    const auto add = [this](Role role, app::Control& control, int number = 0) {
        items_.push_back({role, &control, number, kWindow});
    };
    // Panel 1: the board lines in their frame, then the estimate.
    add(Role::Panel, f.Panel1, 0);
    add(Role::Frame, f.GroupBox1);
    for (int i = 0; i < 4; ++i)
        add(Role::BoardLine, *f.RadioButtons[static_cast<std::size_t>(i)], i);
    add(Role::Label, f.Label2, 2);
    add(Role::Label, f.Label3, 3);
    // Panel 2: the three buttons, then the check boxes 1 to 6.
    add(Role::Panel, f.Panel2, 1);
    add(Role::UpdateButton, f.Button1);
    add(Role::InfoButton, f.Button2);
    add(Role::QuitButton, f.Button3);
    int number = 0;
    for (app::Control* box :
         {&f.CheckBox1, &f.CheckBox2, &f.CheckBox3, &f.CheckBox4, &f.CheckBox5, &f.CheckBox6}) {
        ++number;
        add(box == &f.CheckBox5 ? Role::AdvancedBox : Role::StepBox, *box, number);
    }
    add(Role::Label, f.Label1, 1);
    add(Role::Label, f.Label4, 4);
    // Panel 3: the log.
    add(Role::Panel, f.Panel3, 2);
    add(Role::Log, f.Memo1.control);
    add(Role::StatusBar, f.StatusBar1);
    add(Role::ReadFlashButton, f.Button4);

    // What holds what is the models' own word.
    for (Item& item : items_) {
        for (std::size_t i = 0; i < items_.size(); ++i)
            if (!item.control->parent.empty() && items_[i].control->name == item.control->parent)
                item.parent = static_cast<int>(i);
    }
}

const Item* MainWindowLayout::Find(const app::Control& control) const {
    for (const Item& item : items_)
        if (item.control == &control) return &item;
    return nullptr;
}

Point MainWindowLayout::PositionIn(std::size_t index, int container) const {
    Point p{items_[index].control->left, items_[index].control->top};
    for (int up = items_[index].parent; up != kWindow && up != container;
         up = items_[static_cast<std::size_t>(up)].parent) {
        p.x += items_[static_cast<std::size_t>(up)].control->left;
        p.y += items_[static_cast<std::size_t>(up)].control->top;
    }
    return p;
}

int MainWindowLayout::PanelAround(std::size_t index) const {
    int up = items_[index].parent;
    while (up != kWindow && items_[static_cast<std::size_t>(up)].role != Role::Panel)
        up = items_[static_cast<std::size_t>(up)].parent;
    return up;
}

bool MainWindowLayout::Inside(std::size_t index, int container) const {
    for (int up = items_[index].parent; up != kWindow;
         up = items_[static_cast<std::size_t>(up)].parent)
        if (up == container) return true;
    return container == kWindow;
}

bool TakesClicks(Role role) {
    return role != Role::Panel && role != Role::Frame && role != Role::Label && role != Role::Log &&
           role != Role::StatusBar;
}

bool FitsItsText(const Item& item) {
    return item.role == Role::Label && item.control->width == 0;
}

bool ClickClosesWindow(app::TForm1& form, const Item& item) {
    app::Control& c = *item.control;
    switch (item.role) {
    case Role::BoardLine:
        // A line without a board is shown but cannot be chosen.
        if (c.enabled) form.SelectBoardLine(item.number);
        return false;
    case Role::StepBox:
        form.SetStepBox(c, !c.checked);
        return false;
    case Role::AdvancedBox:
        form.ToggleAdvanced();
        return false;
    case Role::UpdateButton:
        form.Button1Click();
        return false;
    case Role::InfoButton:
        form.Button2Click();
        return false;
    case Role::QuitButton:
        return form.Button3Click();
    case Role::ReadFlashButton:
        form.Button4Click();
        return false;
    case Role::Panel:
    case Role::Frame:
    case Role::Label:
    case Role::Log:
    case Role::StatusBar:
        return false;
    }
    return false;
}

const app::Gauge* GaugeOverPanel(const app::TForm1& form, std::size_t panel) {
    if (panel == 1) return &form.Gauge2;
    if (panel == 2) return &form.Gauge1;
    return nullptr;
}

} // namespace flashwell::ui::layout
