#include "ui/fltk/fltk_ui.h"

#include "app/main_form.h"
#include "ui/fltk/fltk_internal.h"
#include "ui/fltk/text.h"

#include <algorithm>
#include <cstdlib>

namespace flashwell::ui {

namespace {

// Whether a widget (and every group around it) is visible and enabled.
bool Clickable(const Fl_Widget& widget) {
    return widget.active_r() && widget.visible_r();
}

void SyncBeforeWaiting(void* data) {
    static_cast<FltkUi*>(data)->Sync();
}

} // namespace

FltkUi::FltkUi(FltkOptions options) : WindowFace(options), fontSize_(options.fontSize) {
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

void FltkUi::PaintNow() {
    Fl::flush();
}

void FltkUi::PassPendingMessages() {
    Fl::check();
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
