#include "app/main_form.h"
#include "app/update_step_table.h"

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

int YearNumber(const std::string& year) {
    if (year.empty()) return 0;
    int value = 0;
    for (char c : year) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
    }
    return value;
}

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
      backups_(&services.backups) {
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

std::string TForm1::BoardArgument(int index) const {
    return " --board " +
           (boardArgument_.empty() ? std::to_string(index) : "\"" + boardArgument_ + "\"");
}

void TForm1::RunStep(std::string_view name, void (TForm1::*run)()) {
    const int index = SelectedBoardIndex();
    stepFailed_ = false;
    Emit(StepStarted{index, std::string(name)});
    (this->*run)();
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
        present_[static_cast<std::size_t>(i)] = false;
        if (boards_->OpenBoard(i) != 1) {
            Log("Board " + std::to_string(i) + " not present", LineKind::BoardAbsent);
            RadioButtons[i]->enabled = false;
            continue;
        }
        std::string found = "Found board ";
        found += std::to_string(i);
        found += "...";
        Log(found);
        present_[static_cast<std::size_t>(i)] = true;
        IdentifyBoard(i);
        SetBoardPanel(0);
        boards_->CloseBoard(i);
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

void TForm1::IdentifyBoard(int index) {
    const auto slot = static_cast<std::size_t>(index);
    lostBlock_[slot] = false;
    repairFirst_[slot] = false;
    copyToRestore_[slot].reset();
    refusal_[slot].clear();
    lostWhy_[slot].clear();
    std::vector<std::uint32_t> buffer(images::kDspImageBufferCells);
    const int n = images::BuildFlashProgramImage(buffer.data());
    Log("   loading Flashprogram...");
    protocol_->LoadDspProgram(index, buffer.data(), n);
    Sleep(1000);
    Log("   ...finished with " + std::to_string(n) + " words");
    boarddata::FlashDataRecord record;
    protocol_->ReadFlashData(record, index);

    Control& line = *RadioButtons[slot];
    if (!protocol_->FlashDataFromBoard(index) && ControllerWithoutFirmware(index)) {
        // Nothing on the controller passes requests on, so the block could not even be asked
        // for: it is most likely intact. The firmware step needs only the controller.
        line.caption = "Repair firmware";
        line.enabled = true;
        repairFirst_[slot] = true;
        Log("   The USB controller of board " + std::to_string(index) +
            " runs no firmware - an update writes its firmware first, then the rest");
        return;
    }
    if (record.ProductName == "vexta/USB") {
        if (record.Customer == "Brennich GmbH Messtechnik")
            line.caption = "TARVEX/USB";
        else if (record.Customer == "VELD Instruments")
            line.caption = "VeldDAQ 16";
        else
            line.caption = "vexta/USB";
        line.enabled = true;
    } else {
        line.caption = record.ProductName;
        line.enabled = false;
    }
    if (CheckBlockWhole(index, record) && !line.enabled) PointAtCopies(index, record);
    if (!line.enabled) NoteRefusal(index, record);
    const bool readable = protocol_->FlashDataFromBoard(index);
    Emit(BoardIdentified{index, readable ? record.ProductName : "",
                         readable && ReadableText(record.SerialNumber) ? record.SerialNumber : "",
                         line.enabled, refusal_[slot]});
}

void TForm1::NoteRefusal(int index, const boarddata::FlashDataRecord& record) {
    const auto slot = static_cast<std::size_t>(index);
    const boarddata::FlashDataBlock* block = protocol_->FlashDataBlockAsRead(index);
    std::string why, remedy;
    if (lostBlock_[slot])
        why = "its parameter block is not whole (" + lostWhy_[slot] + ")";
    else if (!protocol_->FlashDataFromBoard(index) || block == nullptr)
        why = "its parameter block could not be read";
    else
        why = "its parameter block names the product \"" + record.ProductName +
              "\", which this tool does not update";
    if (const auto& copy = copyToRestore_[slot])
        remedy = "Restore its copy: flashwell --restore \"" + copy->string() + "\"" +
                 BoardArgument(index);
    else if (!lostBlock_[slot] && protocol_->FlashDataFromBoard(index))
        remedy = "This tool updates only vexta/USB boards.";
    else
        remedy = "No copy of it is on this computer: restore the copy the computer that wrote "
                 "it keeps (flashwell --restore FILE" +
                 BoardArgument(index) + ").";
    refusal_[slot] = why + ". " + remedy;
}

void TForm1::RefuseRun(int index) {
    Fail();
    Emit(RunRefused{index, refusal_[static_cast<std::size_t>(index)]});
    Log("Update refused - board " + std::to_string(index) + ": " +
        refusal_[static_cast<std::size_t>(index)] + " Nothing was written.");
    LastOutcome = RunOutcome::Failed;
    Emit(RunEnded{LastOutcome});
    ui_->ShowMessage(platform::MessageKind::Error, platform::kApplicationTitle,
                     "Board " + std::to_string(index) + " cannot be updated: " +
                         refusal_[static_cast<std::size_t>(index)] + "\r\n\r\nNothing was written.",
                     platform::MessageButtons::Ok);
    SetRunControlsEnabled(true);
    running_ = false;
}

bool TForm1::StepRefused(int index, const char* title) {
    if (!BoardPresent(index) || refusal_[static_cast<std::size_t>(index)].empty()) return false;
    Log(title, LineKind::StepTitle);
    Log("   Board " + std::to_string(index) + " was not accepted by the scan - nothing written");
    Fail();
    return true;
}

bool TForm1::ControllerWithoutFirmware(int index) const {
    // The firmware answers its version on the pipes at every open; a controller without one
    // (boot state, or an EEPROM that no longer boots) leaves the answer empty.
    const device::TUSBAdapter* adapter = boards_->Adapter(index);
    return adapter != nullptr && adapter->IsOpen() && adapter->FirmwareVersion == 0;
}

bool ReadableText(const std::string& text) {
    return !text.empty() && std::none_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F;
    });
}

namespace {

// The block is written in four parts; a write cut short leaves the later ones erased.
constexpr std::size_t kWritePart = 2048;

bool PartErased(const boarddata::FlashDataBlock& b, std::size_t from) {
    const auto end = b.begin() + static_cast<long>(std::min(b.size(), from + kWritePart));
    return std::all_of(b.begin() + static_cast<long>(from), end,
                       [](std::uint8_t v) { return v == 0xFF; });
}

bool HasErasedPart(const boarddata::FlashDataBlock& b) {
    for (std::size_t from = 0; from < b.size(); from += kWritePart)
        if (PartErased(b, from)) return true;
    return false;
}

bool PartErasedWhereCopyIsNot(const boarddata::FlashDataBlock& board,
                              const boarddata::FlashDataBlock& copy) {
    for (std::size_t from = 0; from < board.size(); from += kWritePart)
        if (PartErased(board, from) && !PartErased(copy, from)) return true;
    return false;
}

} // namespace

std::optional<BlockBackup> TForm1::NewestWholeCopy(const std::string& serial,
                                                   const std::string& devicePath) const {
    for (const BlockBackup& c : backups_->List(serial)) {
        // Copies that are half blocks themselves (saved by an older version) do not count.
        if (HasErasedPart(c.block) || JudgeBlock(c.block) == BlockState::CutShort) continue;
        if (!serial.empty() || (!devicePath.empty() && c.header.devicePath == devicePath)) return c;
    }
    return std::nullopt;
}

bool TForm1::CheckBlockWhole(int index, const boarddata::FlashDataRecord& record) {
    const boarddata::FlashDataBlock* block = protocol_->FlashDataBlockAsRead(index);
    const device::TUSBAdapter* adapter = boards_->Adapter(index);
    if (!protocol_->FlashDataFromBoard(index) || block == nullptr || adapter == nullptr)
        return true; // an unreadable block is not judged here
    const std::string path = adapter->DevicePathText();
    const bool serialReadable = ReadableText(record.SerialNumber);
    const BlockState state = JudgeBlock(*block);
    std::optional<std::filesystem::path> copy;
    std::string why;
    bool whole = true;
    if (const auto write = backups_->PendingFor(record.SerialNumber, path, serialReadable)) {
        const std::uint32_t crc = Crc32(*block);
        if (crc == write->intendedCrc || crc == write->copyCrc || state == BlockState::Marked) {
            // Whole after all: the write was done (only its check was cut), never began, or a
            // later write went to its end.
            std::string error;
            if (!backups_->EndWrite(*write, error)) Log("   Warning: " + error);
            return true;
        }
        copy = write->copy;
        why = "its write by an earlier run (" + write->timeUtc + ") did not finish";
        whole = false;
    } else if (state == BlockState::Erased || (state == BlockState::CutShort && !acceptUnmarked_)) {
        // The board itself says so: its mark is erased and so is data before it.
        why = state == BlockState::Erased
                  ? "it reads erased: a write of it was cut right after the erase"
                  : "it was cut short while it was being written";
        if (const auto c = NewestWholeCopy(serialReadable ? record.SerialNumber : "", path))
            copy = c->path;
        whole = false;
    } else if (state == BlockState::Unmarked && serialReadable) {
        // An earlier tool's block: a part that reads erased where the board's newest copy
        // holds data.
        for (const BlockBackup& c : backups_->List(record.SerialNumber)) {
            if (HasErasedPart(c.block)) continue;
            if (PartErasedWhereCopyIsNot(*block, c.block)) {
                copy = c.path;
                why = "part of it reads erased, unlike its copy of " + c.header.timeUtc;
                whole = false;
            }
            break;
        }
    }
    if (whole) return true;
    const auto slot = static_cast<std::size_t>(index);
    lostBlock_[slot] = true;
    lostWhy_[slot] = why;
    copyToRestore_[slot] = copy;
    RadioButtons[slot]->enabled = false;
    Log("   Parameter block of board " + std::to_string(index) + " is not whole: " + why +
        " - nothing is written over it");
    Emit(BlockNotWhole{index, why, copy});
    if (copy) {
        Log("   Restore it with: flashwell --restore \"" + copy->string() + "\"" +
                BoardArgument(index),
            LineKind::RestoreHint);
    } else {
        Log("   No copy of it on this computer: its copy is on the computer that wrote it - "
            "restore that one (flashwell --restore FILE" +
            BoardArgument(index) + ")");
    }
    if (state == BlockState::CutShort &&
        !backups_->PendingFor(record.SerialNumber, path, serialReadable))
        Log("   A block written by an earlier tool may end in erased cells too: if this board's "
            "was never cut, update it with --accept-unmarked-block");
    return false;
}

void TForm1::PointAtCopies(int index, const boarddata::FlashDataRecord& record) {
    // An erased or half-written block reads as the default record or as a name of junk bytes.
    const bool junk = !ReadableText(record.ProductName);
    if (!junk && protocol_->FlashDataFromBoard(index)) return;
    const std::vector<BlockBackup> copies = backups_->List();
    if (copies.empty()) {
        if (protocol_->FlashDataFromBoard(index))
            Log("   No valid parameter block on board " + std::to_string(index) +
                " and no copy on this computer: its copy is on the computer that wrote it");
        return;
    }
    Log("   No valid parameter block on board " + std::to_string(index) +
        " - newest saved copies:");
    for (std::size_t i = 0; i < copies.size() && i < 3; ++i)
        Log("      " + BackupSummaryLine(copies[i]));
    // A block that reads erased, on the place a copy was taken from: that copy is the one.
    const device::TUSBAdapter* adapter = boards_->Adapter(index);
    const std::string path = adapter != nullptr ? adapter->DevicePathText() : "";
    const bool serialReadable = ReadableText(record.SerialNumber);
    for (const BlockBackup& copy : copies) {
        if (protocol_->FlashDataFromBoard(index) &&
            (serialReadable ? copy.header.serial == record.SerialNumber
                            : !path.empty() && copy.header.devicePath == path)) {
            copyToRestore_[static_cast<std::size_t>(index)] = copy.path;
            Log("   Restore it with: flashwell --restore \"" + copy.path.string() + "\"" +
                    BoardArgument(index),
                LineKind::RestoreHint);
            return;
        }
    }
    Log("   Restore one with: flashwell --restore FILE" + BoardArgument(index),
        LineKind::RestoreHint);
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
        (this->*step.box).visible = CheckBox5.checked;
}

void TForm1::FormResize() {
    ClientWidth = Panel3.width;
    ClientHeight = Panel1.height + Panel3.height + StatusBar1.height;
}

void TForm1::SetRunControlsEnabled(bool enabled) {
    for (Control* c : {&Button1, &Button2, &Button3, &CheckBox5})
        c->enabled = enabled;
    for (const UpdateStep& step : kUpdateSteps)
        (this->*step.box).enabled = enabled;
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

protocol::ProgressCallback TForm1::Progress() {
    return [this](std::int32_t min, std::int32_t max, std::int32_t pos) {
        ShowProgress(min, max, pos);
    };
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
    if (BoardPresent(SelectedBoardIndex()) &&
        !refusal_[static_cast<std::size_t>(SelectedBoardIndex())].empty()) {
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
        StepCount += (this->*step.box).checked ? 1 : 0;

    const int index = SelectedBoardIndex();
    const bool repair = RepairsFirmwareFirst(index);
    if (repair && !CheckBox4.checked) ++StepCount;
    const bool repairFailed = repair && !RepairFirmwareFirst(index);
    if (repairFailed) Fail();
    for (const UpdateStep& step : kUpdateSteps) {
        if (repair && step.run == &TForm1::UpdateFirmware) continue; // done first
        if (repairFailed) break; // a board that does not answer as one gets nothing more
        if ((this->*step.box).checked && (step.runsAfterFailure || !UpdateFailed))
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
    RunStep("firmware", &TForm1::UpdateFirmware);
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
    IdentifyBoard(index);
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

void TForm1::ShowInfo() {
    ui_->ShowMessage(platform::MessageKind::Plain, platform::kApplicationTitle, InfoText(),
                     platform::MessageButtons::Ok);
}

} // namespace flashwell::app
