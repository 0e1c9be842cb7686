// The main window: its four board lines, each over the update engine of its line
// (BoardUpdate), the run of the ticked steps on the selected line, the progress display and the
// Info text. Front ends render its controls and forward clicks.
#pragma once

#include "app/app_ui.h"
#include "app/block_backup.h"
#include "app/board_update.h"
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

struct UpdateStep;

class TForm1 : private BoardUpdateView {
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
    void NameBoardInHints(const std::string& argument) {
        for (BoardUpdate& engine : engines_)
            engine.NameBoardInHints(argument);
    }
    // The engine of a board line, and what its scan found.
    BoardUpdate& Engine(int line) { return engines_[static_cast<std::size_t>(line & 3)]; }
    const BoardFacts& Facts(int line) const {
        return engines_[static_cast<std::size_t>(line & 3)].Facts();
    }
    // A step's check box in the Advanced view.
    Control& StepBox(const UpdateStep& step);
    const Control& StepBox(const UpdateStep& step) const;

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
    void ShowProgress(std::int32_t minimum, std::int32_t maximum, std::int32_t position) override;
    void FinishStepProgress() override;
    void ShowInfo();

    // Writes a saved parameter block back onto the selected board, after showing both and
    // asking; what the board holds before is saved as well.
    void RestoreFlashData(const BlockBackup& backup);
    // The windows' restore: checks the file (its defect goes to an error box) and restores it
    // onto the selected board, or onto the first present one when the selected line has none
    // (a board whose block is lost has a line that cannot be selected, but it is the very board
    // a restore is for).
    void RestoreFromFile(const std::string& path);

    bool Running() const { return running_; }
    // What the scan found wrong with a board: a parameter block that is not whole, with the
    // copy to restore when one is known, and a controller that runs no firmware (an update
    // repairs it first).
    bool BlockLost(int index) const { return Valid(index) && Facts(index).blockLost; }
    std::optional<std::filesystem::path> CopyToRestore(int index) const {
        return Valid(index) ? Facts(index).copyToRestore : std::nullopt;
    }
    bool RepairsFirmwareFirst(int index) const {
        return Valid(index) && Facts(index).repairsFirmwareFirst;
    }
    // Why the scan did not accept the board on this line for writing (its product, a block
    // that is not whole or not readable), with what the technician can do; empty when it did,
    // or when no board is there.
    std::string RefusalReason(int index) const { return Valid(index) ? Facts(index).refusal : ""; }
    // What the scan found wrong with a block it judged not whole, in a few words.
    std::string BlockLostWhy(int index) const { return Valid(index) ? Facts(index).lostWhy : ""; }
    // Blocks written by earlier tools carry no mark; one whose last data cells happen to read
    // erased looks like a cut one. The technician who knows it was never cut says so for a run.
    void AcceptUnmarkedBlocks(bool accept) {
        for (BoardUpdate& engine : engines_)
            engine.AcceptUnmarkedBlocks(accept);
    }
    // The copy the scan named for the selected board line, or else for the first line with
    // one: what every restore offers first.
    std::optional<std::filesystem::path> NamedCopy() const {
        if (auto copy = CopyToRestore(SelectedBoardIndex())) return copy;
        for (const BoardUpdate& engine : engines_)
            if (engine.Facts().copyToRestore) return engine.Facts().copyToRestore;
        return std::nullopt;
    }
    BackupStore& Backups() { return *backups_; }
    // Whether the scan found (opened) a board at this index, whatever its line shows.
    bool BoardPresent(int index) const { return Valid(index) && Facts(index).present; }
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
    static bool Valid(int index) { return index >= 0 && index < 4; }
    // A run started on a line the scan did not accept: one box says why, nothing is opened.
    void RefuseRun(int index);
    // The firmware step first, then the board identified again; false when it still does not
    // answer as a board.
    bool RepairFirmwareFirst(int index);
    // The line shows what its engine's scan found.
    void ShowLine(int index);
    // Runs one step of the table and tells its subscribers when it starts and ends.
    void RunStep(std::string_view name, void (BoardUpdate::*run)());
    void SetBoardPanel(int index);
    void SetRunControlsEnabled(bool enabled);
    double Now();

    // What the engines ask of their view.
    void Log(const std::string& line, LineKind kind = LineKind::Plain) override;
    void Emit(const RunEvent& event) override;
    void ShowBoardPanel(int line) override { SetBoardPanel(line); }
    int AskRevision() override;
    void Fail() override;
    void StepSucceeded() override;
    bool& AlteraUnknown() override { return AlteraUnidentified; }

    // Pointers rather than references, so that a copy can be bound to other services.
    platform::OsPort* os_;
    device::BoardTable* boards_;
    protocol::BoardProtocol* protocol_;
    AppUi* ui_;
    BackupStore* backups_;
    std::array<BoardUpdate, 4> engines_;
    bool running_ = false;
    std::vector<RunObserver*> observers_;
    // Set by a failure of the step now running.
    bool stepFailed_ = false;
    // Set when a step of the current run failed: a later step's success must not hide it.
    bool failedThisRun_ = false;
};

} // namespace flashwell::app
