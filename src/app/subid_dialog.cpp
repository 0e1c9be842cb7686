#include "app/subid_dialog.h"

#include "app/app_ui.h"

namespace flashwell::app {

TSubIDDialog::TSubIDDialog()
    : Label1(MakeControl("Label1", "", "Couldn't identify SubID", 8, 10)),
      Label2(MakeControl("Label2", "", "For writing the correct RBF data type of the", 8, 24)),
      Label3(MakeControl("Label3", "", "board must be known. The automatic", 8, 40)),
      Label4(MakeControl("Label4", "", "detection of this is failed.", 8, 56)),
      Label5(MakeControl("Label5", "", "Please specify the revision manually", 8, 96)),
      RadioButton1(MakeControl("RadioButton1", "", "Revision 1.1 (Altera Acex)", 8, 112, 161, 17)),
      RadioButton2(
          MakeControl("RadioButton2", "", "Revision 1.2 (Altera Cyclone)", 8, 128, 169, 17)),
      RadioButton3(
          MakeControl("RadioButton3", "", "Revision 1.3 (Altera Cyclone)", 8, 144, 169, 17)),
      Button1(MakeControl("Button1", "", "Accept", 56, 176, 81, 25)),
      Button2(MakeControl("Button2", "", "Cancel", 144, 176, 75, 25)) {
    RadioButton1.checked = true;
    FormCreate();
}

void TSubIDDialog::FormCreate() {
    RevisionChoice = -1;
    clientWidth_ = Button2.left + Button2.width + 2;
    clientHeight_ = Button2.top + Button2.height + 2;
}

void TSubIDDialog::DialogShow(AppUi& ui) {
    visible_ = true;
    ui.ShowSubIdDialog(*this);
    visible_ = false;
}

void TSubIDDialog::SelectRevision(int choice) {
    RadioButton1.checked = choice == 0;
    RadioButton2.checked = choice == 1;
    RadioButton3.checked = choice == 2;
}

void TSubIDDialog::Button1Click() {
    if (RadioButton1.checked)
        RevisionChoice = 0;
    else if (RadioButton2.checked)
        RevisionChoice = 1;
    else if (RadioButton3.checked)
        RevisionChoice = 2;
    else
        RevisionChoice = -1;
    visible_ = false;
}

void TSubIDDialog::Button2Click() {
    RevisionChoice = -1;
    visible_ = false;
}

} // namespace flashwell::app
