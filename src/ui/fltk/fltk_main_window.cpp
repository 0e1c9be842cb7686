#include "ui/fltk/fltk_ui.h"

#include "app/main_form.h"
#include "ui/fltk/fltk_internal.h"
#include "ui/fltk/text.h"

#include <algorithm>

namespace flashwell::ui {

using fltk::kButtonFace;
using fltk::StyleText;

void FltkUi::OpenMainWindow() {
    BuildMainWindow();
    fltk::FixedWindow& window = *main_->window;
    fltk::CentreOnScreen(window);
    window.show();
    Sync();
    // The window is on screen before the scan begins; the scan itself does not process input.
    for (int i = 0; i < 100 && !window.Drawn(); ++i)
        Fl::wait(0.05);
}

void FltkUi::BuildMainWindow() {
    app::TForm1& f = *form_;
    main_ = std::make_unique<Widgets>();
    Widgets& m = *main_;
    const int font = fontSize_;

    Fl_Group::current(nullptr);
    m.window = std::make_unique<fltk::FixedWindow>(f.ClientWidth, f.ClientHeight, "");
    fltk::FixedWindow& window = *m.window;
    window.size_range(f.ClientWidth, f.ClientHeight, f.ClientWidth, f.ClientHeight);
    window.resizable(nullptr);
    window.color(kButtonFace);
    window.onResize = [this](int& w, int& h) {
        form_->ClientWidth = w;
        form_->ClientHeight = h;
        form_->FormResize();
        w = form_->ClientWidth;
        h = form_->ClientHeight;
    };

    const layout::MainWindowLayout table(f);
    const std::vector<layout::Item>& items = table.Items();
    // The group each container became; every control goes into its container's.
    std::vector<Fl_Group*> groups(items.size(), nullptr);
    const auto bind = [&m](const layout::Item& item, Fl_Widget* w, Widgets::Kind kind) {
        m.bindings.push_back({item.control, w, kind, {}, false, layout::FitsItsText(item)});
    };
    const auto clicked = [this, &m](const layout::Item& item) {
        return m.Keep([this, item] {
            if (layout::ClickClosesWindow(*form_, item)) main_->window->hide();
            Sync();
        });
    };

    for (std::size_t i = 0; i < items.size(); ++i) {
        const layout::Item& item = items[i];
        const app::Control& c = *item.control;
        Fl_Group* host = item.parent == layout::kWindow
                             ? &window
                             : groups[static_cast<std::size_t>(item.parent)];
        host->begin();
        const layout::Point at = table.PositionIn(i, layout::kWindow);
        switch (item.role) {
        case layout::Role::Panel: {
            auto* g = new Fl_Group(at.x, at.y, c.width, c.height);
            g->box(FL_THIN_UP_BOX);
            g->color(kButtonFace);
            groups[i] = g;
            break;
        }
        case layout::Role::Frame: {
            auto* frame = new fltk::CaptionFrame(at.x, at.y, c.width, c.height);
            StyleText(*frame, font);
            frame->color(kButtonFace);
            bind(item, frame, Widgets::Kind::Frame);
            groups[i] = frame;
            break;
        }
        case layout::Role::Label: {
            auto* l = new fltk::TextLabel(at.x, at.y, std::max(c.width, 1), c.height);
            StyleText(*l, font);
            l->color(kButtonFace);
            bind(item, l, Widgets::Kind::Label);
            break;
        }
        case layout::Role::UpdateButton:
        case layout::Role::InfoButton:
        case layout::Role::QuitButton:
        case layout::Role::ReadFlashButton: {
            Fl_Button* b = item.role == layout::Role::UpdateButton
                               ? new fltk::DefaultButton(at.x, at.y, c.width, c.height)
                               : new Fl_Button(at.x, at.y, c.width, c.height);
            StyleText(*b, font);
            b->callback(fltk::RunAction, clicked(item));
            bind(item, b, Widgets::Kind::Button);
            break;
        }
        case layout::Role::BoardLine:
        case layout::Role::StepBox:
        case layout::Role::AdvancedBox: {
            Fl_Button* b =
                item.role == layout::Role::BoardLine
                    ? static_cast<Fl_Button*>(new fltk::RadioButton(at.x, at.y, c.width, c.height))
                    : new Fl_Check_Button(at.x, at.y, c.width, c.height);
            StyleText(*b, font);
            b->when(FL_WHEN_RELEASE_ALWAYS);
            b->callback(fltk::RunAction, clicked(item));
            bind(item, b, Widgets::Kind::Toggle);
            break;
        }
        case layout::Role::Log:
            m.buffer = std::make_unique<Fl_Text_Buffer>();
            m.memo = new Fl_Text_Display(at.x, at.y, c.width, c.height);
            m.memo->buffer(m.buffer.get());
            m.memo->textfont(FL_HELVETICA);
            m.memo->textsize(font);
            m.memo->box(FL_DOWN_BOX);
            m.memo->color(FL_WHITE);
            // Long lines wrap, as in an edit box with only a vertical scroll bar.
            m.memo->wrap_mode(Fl_Text_Display::WRAP_AT_BOUNDS, 0);
            m.memo->scrollbar_align(FL_ALIGN_RIGHT);
            break;
        case layout::Role::StatusBar:
            BuildStatusBar();
            break;
        }
    }

    // The layout has no room for more controls, so what goes beyond the update sits in a
    // context menu over the whole window: it takes the right button only, and never the
    // focus, so clicks, keys and the tab order stay the controls' own.
    window.begin();
    m.contextMenu = new Fl_Menu_Button(0, 0, f.ClientWidth, f.ClientHeight);
    m.contextMenu->type(Fl_Menu_Button::POPUP3);
    m.contextMenu->box(FL_NO_BOX);
    m.contextMenu->clear_visible_focus();
    StyleText(*m.contextMenu, font);
    m.contextMenu->textfont(FL_HELVETICA);
    m.contextMenu->textsize(font);
    const std::string item = std::string(layout::kRestoreTitle) + "...";
    m.contextMenu->add(item.c_str(), FL_CTRL + 'r', fltk::RunAction,
                       m.Keep([this] { RestoreFromCopy(); }));
    window.end();

    m.onWindowCallback = [this] {
        if (fltk::EscapePressed()) {
            // Esc is the "Quit" button's key, and does nothing while that button is disabled.
            Click(form_->Button3);
            return;
        }
        RequestClose();
    };
    window.callback(fltk::RunAction, &m.onWindowCallback);
}

void FltkUi::BuildStatusBar() {
    app::TForm1& f = *form_;
    Widgets& m = *main_;
    const app::Control& bar = f.StatusBar1;
    auto* status = new Fl_Group(bar.left, bar.top, bar.width, bar.height);
    status->box(FL_FLAT_BOX);
    status->color(kButtonFace);
    int px = bar.left;
    for (std::size_t i = 0; i < f.StatusPanels.size(); ++i) {
        const app::StatusPanel& sp = f.StatusPanels[i];
        const int width = std::min(sp.width, bar.left + bar.width - px);
        if (width <= 2) break;
        const int top = bar.top + 2, height = bar.height - 2;
        if (sp.bevel) {
            auto* bevel = new Fl_Box(px, top, width - 2, height);
            bevel->box(FL_THIN_DOWN_BOX);
        }
        if (sp.ownerDrawn) {
            auto* g = new fltk::PercentBar(px + 1, top + 1, width - 4, height - 2);
            StyleText(*g, fontSize_);
            g->color(kButtonFace);
            g->selection_color(fltk::kHighlight);
            g->labelcolor(FL_BLACK);
            (layout::GaugeOverPanel(f, i) == &f.Gauge2 ? m.gauge2 : m.gauge1) = g;
        } else {
            auto* t = new fltk::TextLabel(px + 3, top + 2, width - 8, height - 4);
            StyleText(*t, fontSize_);
            t->color(kButtonFace);
            m.panelTexts[i] = t;
        }
        px += width;
    }
    status->end();
}

std::optional<std::string> FltkUi::ChooseCopy(const std::string& folder, const std::string& named) {
    Fl_Group::current(nullptr);
    Fl_File_Chooser chooser(folder.empty() ? "." : folder.c_str(),
                            "Parameter block copies (*.fwblock)\tAll files (*)",
                            Fl_File_Chooser::SINGLE, layout::kRestoreTitle);
    chooser.preview(0);
    if (!named.empty()) chooser.value(named.c_str());
    chooser.show();
    fltk::Action hook;
    if (onFileChooserShown) hook = [&] { onFileChooserShown(chooser); };
    fltk::Action none;
    fltk::RunModal(chooser, hook, std::nullopt, none);
    const char* chosen = chooser.value();
    if (chosen == nullptr || *chosen == '\0') return std::nullopt;
    return std::string(chosen);
}

} // namespace flashwell::ui
