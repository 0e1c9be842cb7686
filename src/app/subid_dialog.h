// The dialog that asks for the board revision when the board cannot tell it.
#pragma once

#include "app/controls.h"

namespace flashwell::app {

class AppUi;

class TSubIDDialog {
public:
    TSubIDDialog();

    // Shows the dialog modally; the caller reads RevisionChoice afterwards.
    void DialogShow(AppUi& ui);
    void Button1Click(); // "Accept"
    void Button2Click(); // "Cancel"
    // The user picked one of the three revisions (0, 1 or 2).
    void SelectRevision(int choice);

    bool Visible() const { return visible_; }
    int ClientWidth() const { return clientWidth_; }
    int ClientHeight() const { return clientHeight_; }

    std::string Caption = "Unknown Device";
    Control Label1, Label2, Label3, Label4, Label5;
    Control RadioButton1, RadioButton2, RadioButton3;
    Control Button1, Button2;
    // -1 no choice, 0 revision 1.1, 1 revision 1.2, 2 revision 1.3.
    int RevisionChoice = -1;

private:
    void FormCreate();

    bool visible_ = false;
    int clientWidth_ = 0;
    int clientHeight_ = 0;
};

} // namespace flashwell::app
