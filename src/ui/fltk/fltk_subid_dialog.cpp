#include "ui/fltk/fltk_ui.h"

#include "app/subid_dialog.h"
#include "ui/fltk/fltk_internal.h"
#include "ui/fltk/text.h"

#include <algorithm>

namespace flashwell::ui {

using fltk::Action;
using fltk::kButtonFace;
using fltk::RunAction;
using fltk::StyleText;

void FltkUi::RunSubIdDialog(app::TSubIDDialog& dialog) {
    const int font = fontSize_;
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
        if (fltk::EscapePressed()) {
            cancel->do_callback();
            return;
        }
        // The close box ends the dialog without setting anything.
        window.hide();
    };
    window.callback(RunAction, &onWindow);

    fltk::CentreOnScreen(window);
    window.show();

    Action hook;
    if (onSubIdDialogShown) hook = [&] { onSubIdDialogShown(view); };
    Action autoAnswer = [&] {
        if (!window.shown()) return;
        if (const auto revision = AutoRevision()) {
            view.revisions[*revision]->do_callback();
            accept->do_callback();
        } else {
            cancel->do_callback();
        }
    };
    fltk::RunModal(window, hook,
                   options_.revision ? std::optional(options_.autoAnswerAfter.value_or(0.0))
                                     : std::nullopt,
                   autoAnswer);
}

} // namespace flashwell::ui
