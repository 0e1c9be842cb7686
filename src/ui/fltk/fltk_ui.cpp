#include "ui/fltk/fltk_ui.h"

#include "app/main_form.h"
#include "app/subid_dialog.h"
#include "ui/fltk/text.h"
#include "ui/fltk/widgets.h"

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <optional>
#include <system_error>

#include "ui/fltk/fl_headers.h"

namespace flashwell::ui {

namespace {

using Action = std::function<void()>;

void RunAction(Fl_Widget*, void* data) {
    (*static_cast<Action*>(data))();
}
void RunTimedAction(void* data) {
    (*static_cast<Action*>(data))();
}

const Fl_Color kButtonFace = fl_rgb_color(240, 240, 240);
const Fl_Color kHighlight = fl_rgb_color(0, 120, 215);

// Escape reaches a window as its callback; a close request from the window manager too.
bool EscapePressed() {
    return Fl::event() != FL_CLOSE && Fl::event_key() == FL_Escape;
}

void CentreOnScreen(Fl_Window& window) {
    int sx = 0, sy = 0, sw = 0, sh = 0;
    Fl::screen_xywh(sx, sy, sw, sh, 0);
    window.position(sx + (sw - window.w()) / 2, sy + (sh - window.h()) / 2);
}

// Whether a widget (and every group around it) is visible and enabled.
bool Clickable(const Fl_Widget& widget) {
    return widget.active_r() && widget.visible_r();
}

void StyleText(Fl_Widget& widget, int fontSize) {
    widget.labelfont(FL_HELVETICA);
    widget.labelsize(fontSize);
}

} // namespace

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
    std::deque<Action> actions;
    Action onWindowCallback;
    fltk::PercentBar* gauge1 = nullptr;
    fltk::PercentBar* gauge2 = nullptr;
    std::array<fltk::TextLabel*, 4> panelTexts{};
    Fl_Text_Display* memo = nullptr;
    Fl_Menu_Button* contextMenu = nullptr;
    std::size_t memoLines = 0;
    std::string title;

    Action* Keep(Action action) {
        actions.push_back(std::move(action));
        return &actions.back();
    }
    const Binding* Find(const app::Control& control) const {
        for (const Binding& b : bindings)
            if (b.model == &control) return &b;
        return nullptr;
    }
};

namespace {
void SyncBeforeWaiting(void* data) {
    static_cast<FltkUi*>(data)->Sync();
}
} // namespace

FltkUi::FltkUi(FltkOptions options) : options_(options) {
    fl_open_display();
    Fl::background(240, 240, 240);
    // Whatever changed the models since the last word (the end of the scan, say) is on screen
    // before the window waits for the user.
    Fl::add_check(SyncBeforeWaiting, this);
}

FltkUi::~FltkUi() {
    Fl::remove_check(SyncBeforeWaiting, this);
    if (main_ && main_->window) main_->window->hide();
    main_.reset();
    Fl::check();
}

void FltkUi::ShowMainWindow(app::TForm1& form) {
    form_ = &form;
    BuildMainWindow();
    fltk::FixedWindow& window = *main_->window;
    CentreOnScreen(window);
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
    const int font = options_.fontSize;

    // Showing the window sizes it, and every sizing goes through the form's rule.
    f.FormResize();
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

    const auto origin = [&f](const app::Control& c, int& x, int& y) {
        x = c.left;
        y = c.top;
        for (const std::string* parent = &c.parent; !parent->empty();) {
            const app::Control* p = nullptr;
            for (const app::Control* candidate : {&f.Panel1, &f.Panel2, &f.Panel3, &f.GroupBox1})
                if (candidate->name == *parent) p = candidate;
            if (p == nullptr) break;
            x += p->left;
            y += p->top;
            parent = &p->parent;
        }
    };
    const auto bind = [&m](const app::Control& c, Fl_Widget* w, Widgets::Kind kind,
                           bool autoWidth = false) {
        m.bindings.push_back({&c, w, kind, {}, false, autoWidth});
    };
    const auto panel = [&](const app::Control& c) {
        int x = 0, y = 0;
        origin(c, x, y);
        auto* g = new Fl_Group(x, y, c.width, c.height);
        g->box(FL_THIN_UP_BOX);
        g->color(kButtonFace);
        return g;
    };
    const auto label = [&](const app::Control& c) {
        int x = 0, y = 0;
        origin(c, x, y);
        auto* l = new fltk::TextLabel(x, y, std::max(c.width, 1), c.height);
        StyleText(*l, font);
        l->color(kButtonFace);
        bind(c, l, Widgets::Kind::Label, c.width == 0);
        return l;
    };
    const auto button = [&](const app::Control& c, bool isDefault, Action action) {
        int x = 0, y = 0;
        origin(c, x, y);
        Fl_Button* b = isDefault ? new fltk::DefaultButton(x, y, c.width, c.height)
                                 : new Fl_Button(x, y, c.width, c.height);
        StyleText(*b, font);
        b->callback(RunAction, m.Keep(std::move(action)));
        bind(c, b, Widgets::Kind::Button);
        return b;
    };
    const auto toggle = [&](const app::Control& c, bool round, Action action) {
        int x = 0, y = 0;
        origin(c, x, y);
        Fl_Button* b = round
                           ? static_cast<Fl_Button*>(new fltk::RadioButton(x, y, c.width, c.height))
                           : new Fl_Check_Button(x, y, c.width, c.height);
        StyleText(*b, font);
        b->when(FL_WHEN_RELEASE_ALWAYS);
        b->callback(RunAction, m.Keep(std::move(action)));
        bind(c, b, Widgets::Kind::Toggle);
        return b;
    };

    window.begin();
    {
        Fl_Group* p1 = panel(f.Panel1);
        {
            int x = 0, y = 0;
            origin(f.GroupBox1, x, y);
            auto* frame = new fltk::CaptionFrame(x, y, f.GroupBox1.width, f.GroupBox1.height);
            StyleText(*frame, font);
            frame->color(kButtonFace);
            bind(f.GroupBox1, frame, Widgets::Kind::Frame);
            for (int i = 0; i < 4; ++i)
                toggle(*f.RadioButtons[static_cast<std::size_t>(i)], true, [this, i] {
                    if (form_->RadioButtons[static_cast<std::size_t>(i)]->enabled)
                        form_->SelectBoardLine(i);
                    AfterHandler();
                });
            frame->end();
        }
        label(f.Label2);
        label(f.Label3);
        p1->end();

        Fl_Group* p2 = panel(f.Panel2);
        // Tab order: the three buttons, then the check boxes 1 to 6.
        button(f.Button1, true, [this] {
            form_->Button1Click();
            AfterHandler();
        });
        button(f.Button2, false, [this] {
            form_->Button2Click();
            AfterHandler();
        });
        button(f.Button3, false, [this] {
            if (form_->Button3Click()) main_->window->hide();
            AfterHandler();
        });
        for (app::Control* box :
             {&f.CheckBox1, &f.CheckBox2, &f.CheckBox3, &f.CheckBox4, &f.CheckBox5, &f.CheckBox6}) {
            if (box == &f.CheckBox5) {
                toggle(*box, false, [this] {
                    form_->ToggleAdvanced();
                    AfterHandler();
                });
            } else {
                toggle(*box, false, [this, box] {
                    form_->SetStepBox(*box, !box->checked);
                    AfterHandler();
                });
            }
        }
        label(f.Label1);
        label(f.Label4);
        p2->end();

        Fl_Group* p3 = panel(f.Panel3);
        {
            int x = 0, y = 0;
            origin(f.Memo1.control, x, y);
            m.buffer = std::make_unique<Fl_Text_Buffer>();
            m.memo = new Fl_Text_Display(x, y, f.Memo1.control.width, f.Memo1.control.height);
            m.memo->buffer(m.buffer.get());
            m.memo->textfont(FL_HELVETICA);
            m.memo->textsize(font);
            m.memo->box(FL_DOWN_BOX);
            m.memo->color(FL_WHITE);
            // Long lines wrap, as in an edit box with only a vertical scroll bar.
            m.memo->wrap_mode(Fl_Text_Display::WRAP_AT_BOUNDS, 0);
            m.memo->scrollbar_align(FL_ALIGN_RIGHT);
        }
        p3->end();

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
                // Gauge2 lies over panel 1, Gauge1 over panel 2.
                auto* g = new fltk::PercentBar(px + 1, top + 1, width - 4, height - 2);
                StyleText(*g, font);
                g->color(kButtonFace);
                g->selection_color(kHighlight);
                g->labelcolor(FL_BLACK);
                (i == 1 ? m.gauge2 : m.gauge1) = g;
            } else {
                auto* t = new fltk::TextLabel(px + 3, top + 2, width - 8, height - 4);
                StyleText(*t, font);
                t->color(kButtonFace);
                m.panelTexts[i] = t;
            }
            px += width;
        }
        status->end();

        int x = 0, y = 0;
        origin(f.Button4, x, y);
        button(f.Button4, false, [this] {
            form_->Button4Click();
            AfterHandler();
        });

        // The layout has no room for more controls, so what goes beyond the update sits in a
        // context menu over the whole window: it takes the right button only, and never the
        // focus, so clicks, keys and the tab order stay the controls' own.
        m.contextMenu = new Fl_Menu_Button(0, 0, f.ClientWidth, f.ClientHeight);
        m.contextMenu->type(Fl_Menu_Button::POPUP3);
        m.contextMenu->box(FL_NO_BOX);
        m.contextMenu->clear_visible_focus();
        StyleText(*m.contextMenu, font);
        m.contextMenu->textfont(FL_HELVETICA);
        m.contextMenu->textsize(font);
        m.contextMenu->add("Restore parameter block...", FL_CTRL + 'r', RunAction,
                           m.Keep([this] { RestoreFromCopy(); }));
    }
    window.end();

    m.onWindowCallback = [this] {
        if (EscapePressed()) {
            // Esc is the "Quit" button's key, and does nothing while that button is disabled.
            Click(form_->Button3);
            return;
        }
        RequestClose();
    };
    window.callback(RunAction, &m.onWindowCallback);
}

void FltkUi::AfterHandler() {
    Sync();
}

void FltkUi::Sync() {
    if (!main_ || form_ == nullptr) return;
    Widgets& m = *main_;
    app::TForm1& f = *form_;

    if (m.title != f.Caption) {
        m.title = f.Caption;
        m.window->copy_label(fltk::Utf8FromCp1252(m.title).c_str());
    }
    for (Widgets::Binding& b : m.bindings) {
        const app::Control& c = *b.model;
        if (!b.captionShown || b.caption != c.caption) {
            b.caption = c.caption;
            b.captionShown = true;
            switch (b.kind) {
            case Widgets::Kind::Label: {
                auto* l = static_cast<fltk::TextLabel*>(b.widget);
                l->SetText(fltk::Utf8FromCp1252(c.caption));
                if (b.autoWidth) {
                    int w = 0, h = 0;
                    l->Measure(w, h);
                    l->size(std::max(w, 1), c.height);
                    // A shorter text leaves the old one's end behind otherwise.
                    if (l->parent() != nullptr) l->parent()->redraw();
                }
                break;
            }
            case Widgets::Kind::Frame:
                static_cast<fltk::CaptionFrame*>(b.widget)->SetCaption(
                    fltk::Utf8FromCp1252(c.caption));
                break;
            case Widgets::Kind::Button:
            case Widgets::Kind::Toggle:
                b.widget->copy_label(fltk::CaptionLabel(c.caption).c_str());
                b.widget->redraw();
                break;
            }
        }
        if (c.enabled != (b.widget->active() != 0)) {
            if (c.enabled)
                b.widget->activate();
            else
                b.widget->deactivate();
        }
        if (c.visible != (b.widget->visible() != 0)) {
            if (c.visible)
                b.widget->show();
            else
                b.widget->hide();
        }
        if (b.kind == Widgets::Kind::Toggle) {
            auto* button = static_cast<Fl_Button*>(b.widget);
            if ((button->value() != 0) != c.checked) button->value(c.checked ? 1 : 0);
        }
    }
    if (m.contextMenu != nullptr) {
        // Nothing is restored while a run writes to a board.
        const int mode = m.contextMenu->mode(0);
        const int wanted = f.Running() ? mode | FL_MENU_INACTIVE : mode & ~FL_MENU_INACTIVE;
        if (wanted != mode) m.contextMenu->mode(0, wanted);
    }
    m.gauge1->SetPercent(f.Gauge1.Percent());
    m.gauge2->SetPercent(f.Gauge2.Percent());
    for (std::size_t i = 0; i < m.panelTexts.size(); ++i)
        if (m.panelTexts[i] != nullptr)
            m.panelTexts[i]->SetText(fltk::Utf8FromCp1252(f.StatusPanels[i].text));

    if (m.memoLines < f.Memo1.lines.size()) {
        std::string added;
        for (; m.memoLines < f.Memo1.lines.size(); ++m.memoLines) {
            if (m.memoLines > 0) added += '\n';
            added += fltk::Utf8FromCp1252(f.Memo1.lines[m.memoLines]);
        }
        m.buffer->append(added.c_str());
        // The newest line stays in view.
        m.memo->insert_position(m.buffer->length());
        m.memo->show_insert_position();
    }

    if (f.ClientWidth > 0 && f.ClientHeight > 0 &&
        (m.window->w() != f.ClientWidth || m.window->h() != f.ClientHeight))
        m.window->size(f.ClientWidth, f.ClientHeight);
}

void FltkUi::LogAppended(const std::string& /*line*/) {
    Sync();
    // Redraw only: input waits for the next pass over pending messages, as it would on Windows.
    Fl::flush();
}

void FltkUi::ProcessPendingMessages() {
    Sync();
    Fl::check();
    if (onPendingMessages) onPendingMessages();
}

void FltkUi::Run() {
    if (!main_) return;
    while (main_->window->shown())
        Fl::wait();
}

bool FltkUi::Click(const app::Control& control) {
    if (!main_) return false;
    const Widgets::Binding* b = main_->Find(control);
    if (b == nullptr || !Clickable(*b->widget)) return false;
    b->widget->do_callback();
    return true;
}

bool FltkUi::RequestClose() {
    if (!main_ || form_ == nullptr) return false;
    // Closing in the middle of a run is refused, whichever way it is asked for.
    if (!form_->Button3Click()) return false;
    main_->window->hide();
    return true;
}

Fl_Menu_Button* FltkUi::ContextMenu() const {
    return main_ ? main_->contextMenu : nullptr;
}

const Fl_Menu_Item* FltkUi::RestoreMenuItem() const {
    return main_ && main_->contextMenu ? main_->contextMenu->menu() : nullptr;
}

void FltkUi::RestoreFromCopy() {
    if (!main_ || form_ == nullptr || form_->Running()) return;
    app::TForm1& f = *form_;

    // The copies' own folder first; any other file can be reached from there.
    std::error_code ec;
    const std::filesystem::path folder = f.Backups().Folder();
    const std::string start = std::filesystem::is_directory(folder, ec) ? folder.string() : ".";
    Fl_Group::current(nullptr);
    Fl_File_Chooser chooser(start.c_str(), "Parameter block copies (*.fwblock)\tAll files (*)",
                            Fl_File_Chooser::SINGLE, "Restore parameter block");
    chooser.preview(0);
    // The copy the scan named for this board is the one to restore.
    if (const auto named = f.NamedCopy()) chooser.value(named->string().c_str());
    chooser.show();
    Action hook = [&] {
        if (onFileChooserShown) onFileChooserShown(chooser);
    };
    if (onFileChooserShown) Fl::add_timeout(0.0, RunTimedAction, &hook);
    while (chooser.shown())
        Fl::wait();
    Fl::remove_timeout(RunTimedAction, &hook);
    const char* chosen = chooser.value();
    const std::string file = chosen != nullptr ? chosen : "";
    Sync();
    if (file.empty()) return;

    f.RestoreFromFile(file);
    AfterHandler();
}

Fl_Double_Window* FltkUi::MainWindow() const {
    return main_ ? main_->window.get() : nullptr;
}

Fl_Widget* FltkUi::WidgetOf(const app::Control& control) const {
    if (!main_) return nullptr;
    if (form_ != nullptr && &control == &form_->Memo1.control) return main_->memo;
    const Widgets::Binding* b = main_->Find(control);
    return b != nullptr ? b->widget : nullptr;
}

Fl_Widget* FltkUi::GaugeWidget(const app::Gauge& gauge) const {
    if (!main_ || form_ == nullptr) return nullptr;
    if (&gauge == &form_->Gauge1) return main_->gauge1;
    if (&gauge == &form_->Gauge2) return main_->gauge2;
    return nullptr;
}

std::string FltkUi::StatusPanelText(int index) const {
    if (!main_ || index < 0 || index >= static_cast<int>(main_->panelTexts.size())) return {};
    const fltk::TextLabel* t = main_->panelTexts[static_cast<std::size_t>(index)];
    return t != nullptr ? t->Text() : std::string();
}

Fl_Text_Display* FltkUi::MemoWidget() const {
    return main_ ? main_->memo : nullptr;
}

std::string FltkUi::MemoText() const {
    if (!main_) return {};
    char* text = main_->buffer->text();
    std::string out = text;
    std::free(text);
    return out;
}

platform::MessageAnswer FltkUi::ShowMessage(platform::MessageKind kind, const std::string& title,
                                            const std::string& text,
                                            platform::MessageButtons buttons) {
    const int font = options_.fontSize;
    const std::vector<app::ButtonChoice> choices = app::ButtonChoices(buttons);
    const std::string body = fltk::Utf8FromCp1252(text);
    const bool hasIcon = kind != platform::MessageKind::Plain;

    fl_font(FL_HELVETICA, font);
    int textW = 0, textH = 0;
    fl_measure(body.c_str(), textW, textH, 0);
    constexpr int kMargin = 12, kIcon = 32, kButtonW = 75, kButtonH = 23, kGap = 6;
    const int textX = kMargin + (hasIcon ? kIcon + kMargin : 0);
    const int contentH = std::max(textH, hasIcon ? kIcon : 0);
    const int rowW =
        static_cast<int>(choices.size()) * kButtonW + (static_cast<int>(choices.size()) - 1) * kGap;
    const int width = std::max({textX + textW + kMargin, rowW + 2 * kMargin, 140});
    const int buttonsY = kMargin + contentH + 14;
    const int height = buttonsY + kButtonH + 10;

    platform::MessageAnswer answer = platform::MessageAnswer::Closed;
    std::deque<Action> actions;
    FltkMessageView view{kind, title, text, nullptr, {}};

    Fl_Group::current(nullptr); // a top-level window, not a child of whatever was open
    Fl_Window box(width, height);
    box.copy_label(fltk::Utf8FromCp1252(title).c_str());
    box.color(kButtonFace);
    box.set_modal();
    view.window = &box;
    box.begin();
    if (hasIcon) new fltk::MessageIcon(kMargin, kMargin, kind);
    auto* message =
        new fltk::TextLabel(textX, kMargin + (contentH - textH) / 2, std::max(textW, 1), textH);
    StyleText(*message, font);
    message->color(kButtonFace);
    message->SetText(body);
    int bx = (width - rowW) / 2;
    for (std::size_t i = 0; i < choices.size(); ++i) {
        Fl_Button* b = i == 0 ? new fltk::DefaultButton(bx, buttonsY, kButtonW, kButtonH)
                              : new Fl_Button(bx, buttonsY, kButtonW, kButtonH);
        StyleText(*b, font);
        b->label(choices[i].label);
        actions.push_back([&box, &answer, a = choices[i].answer] {
            answer = a;
            box.hide();
        });
        b->callback(RunAction, &actions.back());
        view.buttons.push_back(b);
        bx += kButtonW + kGap;
    }
    box.end();

    Action onWindow = [&] {
        if (EscapePressed()) {
            // Esc is "Cancel" where there is one; a box with only "OK" takes it as OK.
            for (const app::ButtonChoice& c : choices)
                if (c.answer == platform::MessageAnswer::Cancel ||
                    buttons == platform::MessageButtons::Ok) {
                    answer = c.answer;
                    box.hide();
                    return;
                }
            return;
        }
        answer = platform::MessageAnswer::Closed;
        box.hide();
    };
    box.callback(RunAction, &onWindow);

    const Widgets* owner = main_.get();
    if (owner != nullptr && owner->window->shown())
        box.position(owner->window->x() + (owner->window->w() - width) / 2,
                     owner->window->y() + (owner->window->h() - height) / 2);
    else
        CentreOnScreen(box);
    Sync();
    box.show();

    Action hook = [&] {
        if (onMessageShown) onMessageShown(view);
    };
    Action autoAnswer = [&] {
        if (box.shown()) view.buttons.front()->do_callback();
    };
    if (onMessageShown) Fl::add_timeout(0.0, RunTimedAction, &hook);
    if (options_.autoAnswerAfter)
        Fl::add_timeout(*options_.autoAnswerAfter, RunTimedAction, &autoAnswer);
    while (box.shown())
        Fl::wait();
    Fl::remove_timeout(RunTimedAction, &hook);
    Fl::remove_timeout(RunTimedAction, &autoAnswer);

    Sync();
    return answer;
}

void FltkUi::ShowSubIdDialog(app::TSubIDDialog& dialog) {
    const int font = options_.fontSize;
    std::deque<Action> actions;
    FltkSubIdView view;
    view.dialog = &dialog;

    Fl_Group::current(nullptr);
    Fl_Window window(dialog.ClientWidth(), dialog.ClientHeight());
    window.copy_label(fltk::Utf8FromCp1252(dialog.Caption).c_str());
    window.color(kButtonFace);
    window.set_modal();
    view.window = &window;

    const app::Control* radios[] = {&dialog.RadioButton1, &dialog.RadioButton2,
                                    &dialog.RadioButton3};
    const auto sync = [&] {
        for (std::size_t i = 0; i < 3; ++i)
            view.revisions[i]->value(radios[i]->checked ? 1 : 0);
    };
    const auto add = [&](Action a) {
        actions.push_back(std::move(a));
        return &actions.back();
    };

    window.begin();
    for (const app::Control* l :
         {&dialog.Label1, &dialog.Label2, &dialog.Label3, &dialog.Label4, &dialog.Label5}) {
        auto* t = new fltk::TextLabel(l->left, l->top, 1, 1);
        StyleText(*t, font);
        t->color(kButtonFace);
        t->SetText(fltk::Utf8FromCp1252(l->caption));
        int w = 0, h = 0;
        t->Measure(w, h);
        // A line longer than the fixed dialog is wide gets a smaller size rather than lose its end.
        while (l->left + w > window.w() && t->labelsize() > 8) {
            t->labelsize(t->labelsize() - 1);
            t->Measure(w, h);
        }
        t->size(std::max(w, 1), std::max(h, 1));
    }
    for (std::size_t i = 0; i < 3; ++i) {
        const app::Control& r = *radios[i];
        auto* b = new fltk::RadioButton(r.left, r.top, r.width, r.height);
        b->color(kButtonFace);
        StyleText(*b, font);
        b->copy_label(fltk::CaptionLabel(r.caption).c_str());
        b->when(FL_WHEN_RELEASE_ALWAYS);
        b->callback(RunAction, add([&dialog, &sync, i] {
                        dialog.SelectRevision(static_cast<int>(i));
                        sync();
                    }));
        view.revisions[i] = b;
    }
    auto* accept = new fltk::DefaultButton(dialog.Button1.left, dialog.Button1.top,
                                           dialog.Button1.width, dialog.Button1.height);
    StyleText(*accept, font);
    accept->copy_label(fltk::CaptionLabel(dialog.Button1.caption).c_str());
    accept->callback(RunAction, add([&] {
                         dialog.Button1Click();
                         window.hide();
                     }));
    auto* cancel = new Fl_Button(dialog.Button2.left, dialog.Button2.top, dialog.Button2.width,
                                 dialog.Button2.height);
    StyleText(*cancel, font);
    cancel->copy_label(fltk::CaptionLabel(dialog.Button2.caption).c_str());
    cancel->callback(RunAction, add([&] {
                         dialog.Button2Click();
                         window.hide();
                     }));
    window.end();
    view.accept = accept;
    view.cancel = cancel;
    sync();

    Action onWindow = [&] {
        if (EscapePressed()) {
            cancel->do_callback();
            return;
        }
        // The close box ends the dialog without setting anything.
        window.hide();
    };
    window.callback(RunAction, &onWindow);

    CentreOnScreen(window);
    Sync();
    window.show();

    Action hook = [&] {
        if (onSubIdDialogShown) onSubIdDialogShown(view);
    };
    Action autoAnswer = [&] {
        if (!window.shown() || !options_.revision) return;
        if (*options_.revision < 0) {
            cancel->do_callback();
        } else {
            view.revisions[static_cast<std::size_t>(*options_.revision)]->do_callback();
            accept->do_callback();
        }
    };
    if (onSubIdDialogShown) Fl::add_timeout(0.0, RunTimedAction, &hook);
    if (options_.revision)
        Fl::add_timeout(options_.autoAnswerAfter.value_or(0.0), RunTimedAction, &autoAnswer);
    while (window.shown())
        Fl::wait();
    Fl::remove_timeout(RunTimedAction, &hook);
    Fl::remove_timeout(RunTimedAction, &autoAnswer);
    Sync();
}

RgbImage CaptureWindow(Fl_Window& window) {
    RgbImage out;
    Fl_Image_Surface surface(window.w(), window.h());
    surface.set_current();
    surface.draw(&window);
    Fl_RGB_Image* image = surface.image();
    Fl_Display_Device::display_device()->set_current();
    if (image == nullptr) return out;
    out.width = image->w();
    out.height = image->h();
    const int depth = image->d();
    const int line = image->ld() != 0 ? image->ld() : image->w() * depth;
    const auto* data = reinterpret_cast<const unsigned char*>(image->data()[0]);
    out.pixels.resize(static_cast<std::size_t>(out.width) * out.height * 3);
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x)
            for (int c = 0; c < 3; ++c)
                out.pixels[(static_cast<std::size_t>(y) * out.width + x) * 3 + c] =
                    data[y * line + x * depth + (depth >= 3 ? c : 0)];
    delete image;
    return out;
}

} // namespace flashwell::ui
