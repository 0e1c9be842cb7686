// The main window: the board scan and board lines, the update run with its five steps, the
// progress display and the Info text. Front ends render its controls and forward clicks.
#pragma once

#include "app/app_ui.h"
#include "app/block_backup.h"
#include "app/block_mark.h"
#include "app/controls.h"
#include "app/run_events.h"
#include "app/subid_dialog.h"
#include "boarddata/flash_data.h"
#include "device/adapter_usb.h"
#include "protocol/board_protocol.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace flashwell::app {

inline constexpr const char* kConfirmText =
    "WARNING!!!\r\nNever turn off the device or computer and never\r\nforce close of the program "
    "during the flash process!\r\nFailing the flash process may result in an improperly\r\n"
    "working device!\r\n\r\nDo you want to continue?";
inline constexpr const char* kSuccessText =
    "Update successfully ended\r\nPlease disconnect device now from electric\r\nto finish the "
    "update process by restarting";
inline constexpr const char* kErrorText = "During the update process an error has occured!";

// Everything the window needs from the rest of the program.
struct Services {
    platform::OsPort& os;
    device::BoardTable& boards;
    protocol::BoardProtocol& protocol;
    AppUi& ui;
    // Where parameter blocks are copied before they are erased.
    BackupStore& backups;
};

class TForm1 {
public:
    explicit TForm1(Services services);
    // The window as it is now (controls, log, the boards its scan found, run state), working
    // with other services: copies of those `other` works with. Not while a run is going on.
    TForm1(const TForm1& other, Services services);
    TForm1& operator=(const TForm1&) = delete;

    // Creation runs the board scan; the SubID dialog is created right after it.
    void FormCreate();
    // A line of the caller's in the log, such as how a board is reached.
    void Note(const std::string& line) { Log(line); }
    // Every event from here on goes to this subscriber as well, until the window is gone.
    void Subscribe(RunObserver& observer) { observers_.push_back(&observer); }
    // How the lines that tell to restore a copy name the board: "--board <argument>". The
    // line number by default; a caller whose line 0 is not the machine's line 0 (a bench lane)
    // names the board otherwise.
    void NameBoardInHints(std::string argument) { boardArgument_ = std::move(argument); }

    // Event handlers.
    void RadioButton2Click();
    void Button1Click();
    void Button2Click() { ShowInfo(); }
    // "Quit": true when the window may close now.
    bool Button3Click() { return FormCloseQuery(); }
    void Button4Click() {}
    void CheckBox5Click();
    void FormResize();
    // Closing in the middle of a run would leave the board half-written, so it is refused.
    bool FormCloseQuery() const { return !running_; }

    // Front-end actions: what a click on a control does, checked against its state.
    void SelectBoardLine(int index);
    void SetStepBox(Control& box, bool ticked);
    void ToggleAdvanced();

    int SelectedBoardIndex() const;
    void ShowProgress(std::int32_t minimum, std::int32_t maximum, std::int32_t position);
    void FinishStepProgress();
    void ShowInfo();

    // The update steps.
    void UpdateFlashData();
    void UpdateRBF();
    void UpdateKPCI();
    void UpdateBootprogram();
    void UpdateFirmware();
    void WriteEepromImage(int index);
    // Writes a saved parameter block back onto the selected board, after showing both and
    // asking; what the board holds before is saved as well.
    void RestoreFlashData(const BlockBackup& backup);
    // The windows' restore: checks the file (its defect goes to an error box) and restores it
    // onto the selected board, or onto the first present one when the selected line has none
    // (a board whose block is lost has a line that cannot be selected, but it is the very board
    // a restore is for).
    void RestoreFromFile(const std::string& path);
    void IdentifyBoard(int index);

    bool Running() const { return running_; }
    // What the scan found wrong with a board: a parameter block that is not whole, with the
    // copy to restore when one is known, and a controller that runs no firmware (an update
    // repairs it first).
    bool BlockLost(int index) const { return Slot(lostBlock_, index); }
    std::optional<std::filesystem::path> CopyToRestore(int index) const {
        return index >= 0 && index < 4 ? copyToRestore_[static_cast<std::size_t>(index)]
                                       : std::nullopt;
    }
    bool RepairsFirmwareFirst(int index) const { return Slot(repairFirst_, index); }
    // Why the scan did not accept the board on this line for writing (its product, a block
    // that is not whole or not readable), with what the technician can do; empty when it did,
    // or when no board is there.
    std::string RefusalReason(int index) const {
        return index >= 0 && index < 4 ? refusal_[static_cast<std::size_t>(index)] : "";
    }
    // What the scan found wrong with a block it judged not whole, in a few words.
    std::string BlockLostWhy(int index) const {
        return index >= 0 && index < 4 ? lostWhy_[static_cast<std::size_t>(index)] : "";
    }
    // Blocks written by earlier tools carry no mark; one whose last data cells happen to read
    // erased looks like a cut one. The technician who knows it was never cut says so for a run.
    void AcceptUnmarkedBlocks(bool accept) { acceptUnmarked_ = accept; }
    // The copy the scan named for the selected board line, or else for the first line with
    // one: what every restore offers first.
    std::optional<std::filesystem::path> NamedCopy() const {
        if (auto copy = CopyToRestore(SelectedBoardIndex())) return copy;
        for (const auto& copy : copyToRestore_)
            if (copy) return copy;
        return std::nullopt;
    }
    BackupStore& Backups() { return *backups_; }
    // Whether the scan found (opened) a board at this index, whatever its line shows.
    bool BoardPresent(int index) const {
        return index >= 0 && index < 4 && present_[static_cast<std::size_t>(index)];
    }
    static std::string InfoText();

    // Window and controls.
    std::string Caption;
    int ClientWidth = 0;
    int ClientHeight = 0;
    Control Panel1, GroupBox1, Panel2, Panel3;
    std::array<Control*, 4> RadioButtons{};
    Control RadioButton1, RadioButton2, RadioButton3, RadioButton4;
    Control Label1, Label2, Label3, Label4;
    Control CheckBox1, CheckBox2, CheckBox3, CheckBox4, CheckBox5, CheckBox6;
    Control Button1, Button2, Button3, Button4;
    Memo Memo1;
    Control StatusBar1;
    std::array<StatusPanel, 4> StatusPanels{};
    Gauge Gauge1, Gauge2;

    TSubIDDialog SubIDDialog;

    // Run state.
    bool UpdateFailed = false;
    bool AlteraUnidentified = false;
    std::int32_t StepCount = 0;
    std::int32_t OverallBase = 0;
    std::int32_t StepNumber = 1;
    double RunStartTime = 0.0;
    RunOutcome LastOutcome = RunOutcome::NotRun;

private:
    TForm1(const TForm1&) = default;
    static constexpr int kBlockWriteAttempts = 3;
    // A copy of the parameter block as read, before anything erases it; logs why not.
    std::optional<std::filesystem::path> SaveBlockAsRead(int index);
    // Erase, four blocks and a read-back compare, repeated while the board stays open; on a
    // board that is gone, the log names the copy and how to restore it.
    bool WriteBlockVerified(int index, const boarddata::FlashDataBlock& block,
                            const std::filesystem::path& backup);
    // A board without a valid parameter block: the log names the newest copies and the restore.
    void PointAtCopies(int index, const boarddata::FlashDataRecord& record);
    // The block on the board is not whole (a write of ours did not finish, or part of it reads
    // erased where its copy does not): logs why and the copy to restore. Nothing is written
    // over such a block.
    bool CheckBlockWhole(int index, const boarddata::FlashDataRecord& record);
    // The newest copy of this board whose block is whole: by serial number when the block
    // gives one, else taken from the same device path.
    std::optional<BlockBackup> NewestWholeCopy(const std::string& serial,
                                               const std::string& devicePath) const;
    // What IdentifyBoard leaves for a line it did not accept.
    void NoteRefusal(int index, const boarddata::FlashDataRecord& record);
    // A run started on a line the scan did not accept: one box says why, nothing is opened.
    void RefuseRun(int index);
    // Every writing step asks this first, so that no way around the line check writes a board
    // the scan did not accept; logs the step's title and why.
    bool StepRefused(int index, const char* title);
    // The controller answers but runs no firmware (boot state, or an EEPROM cut mid-write).
    bool ControllerWithoutFirmware(int index) const;
    // The firmware step first, then the board identified again; false when it still does not
    // answer as a board.
    bool RepairFirmwareFirst(int index);
    static bool Slot(const std::array<bool, 4>& slots, int index) {
        return index >= 0 && index < 4 && slots[static_cast<std::size_t>(index)];
    }
    void Log(const std::string& line, LineKind kind = LineKind::Plain);
    void Emit(const RunEvent& event);
    // " --board N", as the restore lines end.
    std::string BoardArgument(int index) const;
    // Runs one step of the table and tells its subscribers when it starts and ends.
    void RunStep(std::string_view name, void (TForm1::*run)());
    void SetBoardPanel(int index);
    void Fail();
    void SetRunControlsEnabled(bool enabled);
    void Sleep(platform::DWORD ms) { os_->Sleep(ms); }
    double Now();
    protocol::ProgressCallback Progress();
    bool TryEepromByte(int index, std::uint16_t address, std::uint8_t value, int delay,
                       bool reportProgress);
    bool WriteEepromPass(int index, std::uint16_t address, std::uint8_t value,
                         const char* logPrefix, bool reportProgress);

    // Pointers rather than references, so that a copy can be bound to other services.
    platform::OsPort* os_;
    device::BoardTable* boards_;
    protocol::BoardProtocol* protocol_;
    AppUi* ui_;
    BackupStore* backups_;
    bool running_ = false;
    std::array<bool, 4> present_{};
    std::array<bool, 4> lostBlock_{};
    std::array<bool, 4> repairFirst_{};
    std::array<std::optional<std::filesystem::path>, 4> copyToRestore_{};
    std::array<std::string, 4> refusal_{};
    std::array<std::string, 4> lostWhy_{};
    bool acceptUnmarked_ = false;
    std::vector<RunObserver*> observers_;
    std::string boardArgument_;
    // Set by a failure of the step now running.
    bool stepFailed_ = false;
    // Set when a step of the current run failed: a later step's success must not hide it.
    bool failedThisRun_ = false;
};

// A year text of the parameter block as a number; anything but decimal digits counts as 0,
// which is older than every year the rules ask about.
int YearNumber(const std::string& year);
// A text of the parameter block as a board holds it: printable. An erased block gives 0xFF
// bytes.
bool ReadableText(const std::string& text);

} // namespace flashwell::app
