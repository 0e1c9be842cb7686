#include "app/main_form.h"
#include "app/update_step_table.h"

#include <utility>

#include "boarddata/images/images.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace flashwell::app {

namespace {

// Days since 30 December 1899, the usual zero of date-time values.
double DaysFromCivil(int y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long days1970 = static_cast<long>(era) * 146097 + static_cast<long>(doe) - 719468;
    return static_cast<double>(days1970 + 25569);
}

// A duration shown as a time of day, hours:minutes:seconds.
std::string FormatTime(double days) {
    if (!(days > 0)) days = 0;
    const long long seconds = std::llround(days * 86400.0);
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", (seconds / 3600) % 24,
                  (seconds / 60) % 60, seconds % 60);
    return text;
}

} // namespace

TForm1::TForm1(Services services)
    : Panel1(MakeControl("Panel1", "", "", 0, 0, 201, 113)),
      GroupBox1(MakeControl("GroupBox1", "Panel1", "Boards", 8, 8, 185, 89)),
      Panel2(MakeControl("Panel2", "", "", 201, 0, 256, 113)),
      Panel3(MakeControl("Panel3", "", "", 0, 113, 457, 164)),
      RadioButton1(MakeControl("RadioButton1", "GroupBox1", "Board not found", 8, 16, 113, 17)),
      RadioButton2(MakeControl("RadioButton2", "GroupBox1", "Board not found", 8, 32, 113, 17)),
      RadioButton3(MakeControl("RadioButton3", "GroupBox1", "Board not found", 8, 48, 113, 17)),
      RadioButton4(MakeControl("RadioButton4", "GroupBox1", "Board not found", 8, 64, 113, 17)),
      Label1(MakeControl("Label1", "Panel2", "", 8, 53, 0, 13)),
      Label2(MakeControl("Label2", "Panel1", "Estimated Time:", 8, 98, 0, 13)),
      Label3(MakeControl("Label3", "Panel1", "00:00", 96, 98, 0, 13)),
      Label4(MakeControl("Label4", "Panel2", "Label4", 112, 96, 0, 13)),
      CheckBox1(MakeControl("CheckBox1", "Panel2", "RBF-Update", 8, 3, 97, 17)),
      CheckBox2(MakeControl("CheckBox2", "Panel2", "KPCI-Update", 8, 19, 97, 17)),
      CheckBox3(MakeControl("CheckBox3", "Panel2", "Bootprogramm", 112, 3, 97, 17)),
      CheckBox4(MakeControl("CheckBox4", "Panel2", "Firmware", 112, 19, 97, 17)),
      CheckBox5(MakeControl("CheckBox5", "Panel2", "Advanced", 8, 94, 73, 17)),
      CheckBox6(MakeControl("CheckBox6", "Panel2", "Flashdaten", 8, 35, 97, 17)),
      Button1(MakeControl("Button1", "Panel2", "Update", 7, 68, 75, 25)),
      Button2(MakeControl("Button2", "Panel2", "Info", 87, 68, 75, 25)),
      Button3(MakeControl("Button3", "Panel2", "Quit", 167, 68, 75, 25)),
      Button4(MakeControl("Button4", "", "Read Flash", 368, 40, 75, 25)),
      StatusBar1(MakeControl("StatusBar1", "", "", 0, 277, 457, 20)), os_(&services.os),
      boards_(&services.boards), protocol_(&services.protocol), ui_(&services.ui),
      backups_(&services.backups), engines_{{BoardUpdate(0, services, *this),
                                             BoardUpdate(1, services, *this),
                                             BoardUpdate(2, services, *this),
                                             BoardUpdate(3, services, *this)}} {
    RadioButtons = {&RadioButton1, &RadioButton2, &RadioButton3, &RadioButton4};
    for (Control* box : {&CheckBox1, &CheckBox2, &CheckBox3, &CheckBox4, &CheckBox6}) {
        box->checked = true;
        box->visible = false;
    }
    Label4.visible = false;
    Button4.enabled = false;
    Button4.visible = false;
    Memo1.control = MakeControl("Memo1", "Panel3", "", 4, 5, 448, 154);
    StatusPanels[0] = {90, "", false, true};
    StatusPanels[1] = {150, "", true, true};
    StatusPanels[2] = {200, "", true, true};
    StatusPanels[3] = {50, "", false, false};
    Gauge1.name = "Gauge1";
    Gauge2.name = "Gauge2";
}

TForm1::TForm1(const TForm1& other, Services services) : TForm1(other) {
    if (other.running_) throw std::logic_error("a window cannot be copied during a run");
    os_ = &services.os;
    boards_ = &services.boards;
    protocol_ = &services.protocol;
    ui_ = &services.ui;
    backups_ = &services.backups;
    RadioButtons = {&RadioButton1, &RadioButton2, &RadioButton3, &RadioButton4};
    for (BoardUpdate& engine : engines_)
        engine.Rebind(services, *this);
    // The original's subscribers watch the original; the copy starts with none.
    observers_.clear();
}

void TForm1::Log(const std::string& line, LineKind kind) {
    Memo1.lines.push_back(line);
    ui_->LogAppended(line);
    Emit(Logged{line, kind});
}

void TForm1::Emit(const RunEvent& event) {
    for (RunObserver* observer : observers_)
        observer->OnRunEvent(event);
}

void TForm1::RunStep(std::string_view name, void (BoardUpdate::*run)()) {
    const int index = SelectedBoardIndex();
    stepFailed_ = false;
    Emit(StepStarted{index, std::string(name)});
    (Engine(index).*run)();
    Emit(StepEnded{index, std::string(name), stepFailed_});
}

void TForm1::SetBoardPanel(int index) {
    StatusPanels[0].text = "Board: " + std::to_string(index);
}

void TForm1::Fail() {
    UpdateFailed = true;
    failedThisRun_ = true;
    stepFailed_ = true;
}

void TForm1::StepSucceeded() {
    if (!failedThisRun_) UpdateFailed = false;
}

int TForm1::AskRevision() {
    SubIDDialog.DialogShow(*ui_);
    return SubIDDialog.RevisionChoice;
}

Control& TForm1::StepBox(const UpdateStep& step) {
    return const_cast<Control&>(std::as_const(*this).StepBox(step));
}

const Control& TForm1::StepBox(const UpdateStep& step) const {
    for (const Control* box : {&CheckBox1, &CheckBox2, &CheckBox3, &CheckBox4, &CheckBox6})
        if (box->name == step.box) return *box;
    throw std::logic_error("no check box named " + std::string(step.box));
}

double TForm1::Now() {
    const platform::LocalTime t = os_->GetLocalTime();
    return DaysFromCivil(t.Year, t.Month, t.Day) +
           (t.Hour * 3600.0 + t.Minute * 60.0 + t.Second + t.Milliseconds / 1000.0) / 86400.0;
}

void TForm1::FormCreate() {
    Caption = "Flashwell";
    ui_->ShowMainWindow(*this);
    FormResize();
    SelectBoardLine(0);
    for (int i = 0; i < 4; ++i) {
        if (!Engine(i).Scan()) {
            RadioButtons[i]->enabled = false;
            continue;
        }
        ShowLine(i);
    }
    UpdateFailed = false;
    int chosen = 0;
    for (int i = 0; i < 4; ++i) {
        if (RadioButtons[i]->enabled) {
            chosen = i;
            break;
        }
        RadioButtons[i]->checked = false;
        chosen = 0;
    }
    for (int i = 0; i < 4; ++i)
        RadioButtons[i]->checked = i == chosen;
    RadioButton2Click();
}

void TForm1::RefuseRun(int index) {
    Fail();
    Emit(RunRefused{index, Facts(index).refusal});
    Log("Update refused - board " + std::to_string(index) + ": " + Facts(index).refusal +
        " Nothing was written.");
    LastOutcome = RunOutcome::Failed;
    Emit(RunEnded{LastOutcome});
    ui_->ShowMessage(platform::MessageKind::Error, platform::kApplicationTitle,
                     "Board " + std::to_string(index) + " cannot be updated: " +
                         Facts(index).refusal + "\r\n\r\nNothing was written.",
                     platform::MessageButtons::Ok);
    SetRunControlsEnabled(true);
    running_ = false;
}

void TForm1::ShowLine(int index) {
    Control& line = *RadioButtons[static_cast<std::size_t>(index)];
    line.caption = Facts(index).caption;
    line.enabled = Facts(index).accepted;
}

void TForm1::RadioButton2Click() {
    SetBoardPanel(SelectedBoardIndex());
}

int TForm1::SelectedBoardIndex() const {
    if (RadioButton1.checked) return 0;
    if (RadioButton2.checked) return 1;
    if (RadioButton3.checked) return 2;
    return 3;
}

void TForm1::SelectBoardLine(int index) {
    if (index < 0 || index > 3) return;
    for (int i = 0; i < 4; ++i)
        RadioButtons[static_cast<std::size_t>(i)]->checked = i == index;
    RadioButton2Click();
}

void TForm1::SetStepBox(Control& box, bool ticked) {
    if (box.enabled) box.checked = ticked;
}

void TForm1::ToggleAdvanced() {
    if (!CheckBox5.enabled) return;
    CheckBox5.checked = !CheckBox5.checked;
    CheckBox5Click();
}

void TForm1::CheckBox5Click() {
    for (const UpdateStep& step : kUpdateSteps)
        StepBox(step).visible = CheckBox5.checked;
}

void TForm1::FormResize() {
    ClientWidth = Panel3.width;
    ClientHeight = Panel1.height + Panel3.height + StatusBar1.height;
}

void TForm1::SetRunControlsEnabled(bool enabled) {
    for (Control* c : {&Button1, &Button2, &Button3, &CheckBox5})
        c->enabled = enabled;
    for (const UpdateStep& step : kUpdateSteps)
        StepBox(step).enabled = enabled;
}

void TForm1::ShowProgress(std::int32_t minimum, std::int32_t maximum, std::int32_t position) {
    Gauge2.SetRange(minimum, maximum);
    Gauge2.SetPosition(position);
    const std::int32_t steps = StepCount > 0 ? StepCount : 1;
    Gauge1.SetPosition(position / steps + OverallBase);
    const double elapsed = Now() - RunStartTime;
    Label4.caption = FormatTime(elapsed);
    if (Gauge1.position > 0) Label3.caption = FormatTime(100.0 / Gauge1.position * elapsed);
    if (!observers_.empty()) {
        const std::int32_t span = Gauge2.maximum - Gauge2.minimum;
        Emit(StepProgress{span > 0 ? (Gauge2.position - Gauge2.minimum) * 100 / span : 0,
                          Gauge1.position, Label4.caption});
    }
    ui_->ProcessPendingMessages();
}

void TForm1::FinishStepProgress() {
    const std::int32_t steps = StepCount > 0 ? StepCount : 1;
    Gauge1.SetPosition((100 / steps) * StepNumber);
    OverallBase = Gauge1.position;
    ++StepNumber;
}

void TForm1::Button1Click() {
    if (running_ || !Button1.enabled) return;
    LastOutcome = RunOutcome::NotRun;
    running_ = true;
    failedThisRun_ = false;
    RunStartTime = Now();
    Gauge2.SetPosition(0);
    OverallBase = 0;
    StepNumber = 1;
    SetRunControlsEnabled(false);
    if (BoardPresent(SelectedBoardIndex()) && !RefusalReason(SelectedBoardIndex()).empty()) {
        RefuseRun(SelectedBoardIndex());
        return;
    }
    if (ui_->ShowMessage(platform::MessageKind::Warning, "Warning", kConfirmText,
                         platform::MessageButtons::OkCancel) != platform::MessageAnswer::Ok) {
        LastOutcome = RunOutcome::Cancelled;
        SetRunControlsEnabled(true);
        running_ = false;
        Emit(RunEnded{LastOutcome});
        return;
    }
    ui_->RunStarted();
    Label1.caption = "Update process running... please wait";
    StepCount = 0;
    for (const UpdateStep& step : kUpdateSteps)
        StepCount += StepBox(step).checked ? 1 : 0;

    const int index = SelectedBoardIndex();
    const bool repair = RepairsFirmwareFirst(index);
    if (repair && !CheckBox4.checked) ++StepCount;
    const bool repairFailed = repair && !RepairFirmwareFirst(index);
    if (repairFailed) Fail();
    for (const UpdateStep& step : kUpdateSteps) {
        if (repair && step.run == &BoardUpdate::UpdateFirmware) continue; // done first
        if (repairFailed) break; // a board that does not answer as one gets nothing more
        if (StepBox(step).checked && (step.runsAfterFailure || !UpdateFailed))
            RunStep(step.name, step.run);
    }

    SetBoardPanel(SelectedBoardIndex());
    Label1.caption.clear();
    LastOutcome = UpdateFailed ? RunOutcome::Failed : RunOutcome::Succeeded;
    Emit(RunEnded{LastOutcome});
    ui_->ShowMessage(platform::MessageKind::Plain, platform::kApplicationTitle,
                     UpdateFailed ? kErrorText : kSuccessText, platform::MessageButtons::Ok);
    Gauge2.SetPosition(0);
    OverallBase = 0;
    Gauge1.SetPosition(0);
    SetRunControlsEnabled(true);
    running_ = false;
    ui_->RunEnded();
}

bool TForm1::RepairFirmwareFirst(int index) {
    Log("   Board " + std::to_string(index) +
        ": its USB controller runs no firmware - writing the firmware first");
    RunStep("firmware", &BoardUpdate::UpdateFirmware);
    if (UpdateFailed) return false;
    // The controller now runs the downloaded firmware, which passes requests on like the one in
    // its EEPROM; a board that still does not answer needs replugging (said below).
    Log("   Identifying board " + std::to_string(index) + " again");
    if (boards_->OpenBoard(index) != 1) {
        Log("   Board " + std::to_string(index) + " not present");
        return false;
    }
    // The scan's read found nothing to pass it on; the block it kept is not the board's.
    protocol_->ForgetFlashData(index);
    Engine(index).Identify();
    ShowLine(index);
    boards_->CloseBoard(index);
    const Control& line = *RadioButtons[static_cast<std::size_t>(index)];
    if (RepairsFirmwareFirst(index) || !line.enabled) {
        Log("   Board " + std::to_string(index) + " cannot be updated now (" + line.caption +
            ") - disconnect it, connect it again and start the update again");
        return false;
    }
    return true;
}

std::string TForm1::InfoText() {
    return std::string("Update for Orvane ") + "USB-, TARVEX/USB and VeldDAC16/USB" + "-Series" +
           "\r\n\r\n" + "Date           : " + "09.02.2015" + "\r\n" +
           "Version        : " + "1.10.07.31" + "\r\n\r\n" +
           "RBF-File Rev1.1: " + images::RbfFileNameRev11 + "\r\n" +
           "RBF-File Rev1.2: " + images::RbfFileNameRev12 + "\r\n" +
           "RBF-File Rev1.3: " + images::RbfFileNameRev13 + "\r\n";
}

void TForm1::RestoreFlashData(const BlockBackup& backup) {
    if (running_) return;
    LastOutcome = RunOutcome::NotRun;
    BoardUpdate& engine = Engine(SelectedBoardIndex());
    switch (engine.PrepareRestore(backup)) {
    case BoardUpdate::RestoreAnswer::NotOpened:
        LastOutcome = RunOutcome::Failed;
        return;
    case BoardUpdate::RestoreAnswer::Cancelled:
        LastOutcome = RunOutcome::Cancelled;
        return;
    case BoardUpdate::RestoreAnswer::Write:
        break;
    }
    running_ = true;
    SetRunControlsEnabled(false);
    ui_->RunStarted();
    RunStartTime = Now();
    StepCount = 1;
    StepNumber = 1;
    OverallBase = 0;
    Emit(StepStarted{engine.Line(), "restore"});
    const bool ok = engine.WriteRestore(backup);
    Emit(StepEnded{engine.Line(), "restore", !ok});
    LastOutcome = ok ? RunOutcome::Succeeded : RunOutcome::Failed;
    Emit(RunEnded{LastOutcome});
    ui_->ShowMessage(platform::MessageKind::Plain, platform::kApplicationTitle,
                     ok ? "The parameter block was restored.\r\nPlease disconnect the device and "
                          "connect it again."
                        : kErrorText,
                     platform::MessageButtons::Ok);
    Gauge2.SetPosition(0);
    Gauge1.SetPosition(0);
    SetRunControlsEnabled(true);
    running_ = false;
    ui_->RunEnded();
}

void TForm1::RestoreFromFile(const std::string& path) {
    std::string error;
    const std::optional<BlockBackup> copy = ReadBackupFile(path, error);
    if (!copy) {
        ui_->ShowMessage(platform::MessageKind::Error, "Restore", error,
                         platform::MessageButtons::Ok);
        return;
    }
    int target = SelectedBoardIndex();
    for (int i = 0; i < 4 && !BoardPresent(target); ++i)
        if (BoardPresent(i)) target = i;
    if (target != SelectedBoardIndex()) SelectBoardLine(target);
    RestoreFlashData(*copy);
}

void TForm1::ShowInfo() {
    ui_->ShowMessage(platform::MessageKind::Plain, platform::kApplicationTitle, InfoText(),
                     platform::MessageButtons::Ok);
}

} // namespace flashwell::app
