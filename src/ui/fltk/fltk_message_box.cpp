#include "ui/fltk/fltk_ui.h"

#include "ui/fltk/fltk_internal.h"
#include "ui/fltk/text.h"

#include <algorithm>

namespace flashwell::ui {

using fltk::Action;
using fltk::kButtonFace;
using fltk::RunAction;
using fltk::StyleText;

platform::MessageAnswer FltkUi::RunMessageBox(platform::MessageKind kind, const std::string& title,
                                              const std::string& text,
                                              platform::MessageButtons buttons) {
    const int font = fontSize_;
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
        if (fltk::EscapePressed()) {
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
        fltk::CentreOnScreen(box);
    box.show();

    Action hook;
    if (onMessageShown) hook = [&] { onMessageShown(view); };
    Action autoAnswer = [&] {
        if (box.shown()) view.buttons.front()->do_callback();
    };
    fltk::RunModal(box, hook, options_.autoAnswerAfter, autoAnswer);
    return answer;
}

} // namespace flashwell::ui
