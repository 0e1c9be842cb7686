// The update engine of one board line: what the scan found about the board, as values, and the
// steps, copies and restore that write it. The main window (TForm1) is one view of it: it shows
// the log lines, gauges and dialogs the engine asks for, and keeps the run's flags, which span
// the steps of one run. A caller that wants facts asks the engine or subscribes to the events;
// it never reads them back from the log.
#pragma once

#include "app/app_ui.h"
#include "app/block_backup.h"
#include "app/run_events.h"
#include "boarddata/flash_data.h"
#include "device/adapter_usb.h"
#include "protocol/board_protocol.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace flashwell::app {

// Everything the engines and the window need from the rest of the program.
struct Services {
    platform::OsPort& os;
    device::BoardTable& boards;
    protocol::BoardProtocol& protocol;
    AppUi& ui;
    // Where parameter blocks are copied before they are erased.
    BackupStore& backups;
};

// What the scan learnt about the board at one line.
struct BoardFacts {
    int line = 0;
    bool present = false;   // the scan opened a board here
    bool blockRead = false; // its parameter block came from the board
    // As the block holds them; empty where the block could not be read (the serial number also
    // where it holds no readable text).
    std::string product, customer, serial;
    int revisionMajor = 0, revisionMinor = 0;
    // The whole record the scan read, for whoever needs more of it (the plan of --list).
    std::optional<boarddata::FlashDataRecord> record;
    std::uint32_t firmwareVersion = 0; // 0: the controller runs no firmware
    std::string devicePath;
    std::string caption;   // the line's caption
    bool accepted = false; // an update may write this board
    // Why not, and what the technician can do; empty when accepted or absent.
    std::string refusal;
    bool blockLost = false; // the block is not whole: nothing is written over it
    std::string lostWhy;
    std::optional<std::filesystem::path> copyToRestore;
    bool repairsFirmwareFirst = false; // the update writes the controller's firmware first
    std::optional<std::int32_t> subId; // once a step has asked for it
};

// What an engine asks of the window that shows it.
class BoardUpdateView {
public:
    virtual ~BoardUpdateView() = default;
    virtual void Log(const std::string& line, LineKind kind) = 0;
    virtual void Emit(const RunEvent& event) = 0;
    virtual void ShowProgress(std::int32_t minimum, std::int32_t maximum,
                              std::int32_t position) = 0;
    virtual void FinishStepProgress() = 0;
    virtual void ShowBoardPanel(int line) = 0;
    // The SubID dialog: 0, 1 or 2 for revision 1.1, 1.2 or 1.3; -1 when it was closed.
    virtual int AskRevision() = 0;
    // The run's flags: a failure of this run, and whether the FPGA type is unknown.
    virtual void Fail() = 0;
    // A step that succeeded clears a failure left by an earlier run, never one of this run.
    virtual void StepSucceeded() = 0;
    virtual bool& AlteraUnknown() = 0;
};

class BoardUpdate {
public:
    BoardUpdate(int line, Services services, BoardUpdateView& view);
    // Bound to other services and another view: for a window copied onto another machine.
    void Rebind(Services services, BoardUpdateView& view);

    const BoardFacts& Facts() const { return facts_; }
    int Line() const { return facts_.line; }

    // The scan of this line: opens the board, identifies it and closes it. False when no
    // board is there.
    bool Scan();
    // Loads the flash program, reads the block and judges it; the board is open.
    void Identify();

    // Blocks written by earlier tools carry no mark; one whose last data cells happen to read
    // erased looks like a cut one. The technician who knows it was never cut says so.
    void AcceptUnmarkedBlocks(bool accept) { acceptUnmarked_ = accept; }
    // How the lines that tell to restore a copy name the board: "--board <argument>"; the line
    // number when empty.
    void NameBoardInHints(std::string argument) { boardArgument_ = std::move(argument); }

    // The update steps.
    void UpdateFlashData();
    void UpdateRBF();
    void UpdateKPCI();
    void UpdateBootprogram();
    void UpdateFirmware();
    void WriteEepromImage();

    // A restore in two halves around the window's run state. Prepare opens the board, reads
    // what it holds now, shows both and asks; on Write the board stays open for WriteRestore.
    enum class RestoreAnswer { Write, Cancelled, NotOpened };
    RestoreAnswer PrepareRestore(const BlockBackup& backup);
    // Saves what the board holds, writes the copy and reads it back; closes the board.
    bool WriteRestore(const BlockBackup& backup);

private:
    static constexpr int kBlockWriteAttempts = 3;
    void Log(const std::string& line, LineKind kind = LineKind::Plain) { view_->Log(line, kind); }
    void Emit(const RunEvent& event) { view_->Emit(event); }
    void Fail() { view_->Fail(); }
    void ShowProgress(std::int32_t minimum, std::int32_t maximum, std::int32_t position) {
        view_->ShowProgress(minimum, maximum, position);
    }
    protocol::ProgressCallback Progress();
    void Sleep(platform::DWORD ms) { services().os.Sleep(ms); }
    Services services() const { return {*os_, *boards_, *protocol_, *ui_, *backups_}; }

    // A copy of the parameter block as read, before anything erases it; logs why not.
    std::optional<std::filesystem::path> SaveBlockAsRead();
    // Erase, four blocks and a read-back compare, repeated while the board stays open; on a
    // board that is gone, the log names the copy and how to restore it.
    bool WriteBlockVerified(const boarddata::FlashDataBlock& block,
                            const std::filesystem::path& backup);
    // A board without a valid parameter block: the log names the newest copies and the restore.
    void PointAtCopies(const boarddata::FlashDataRecord& record);
    // The block on the board is not whole (a write of ours did not finish, or the board's own
    // mark says it was cut): logs why and the copy to restore.
    bool CheckBlockWhole(const boarddata::FlashDataRecord& record);
    // The newest copy of this board whose block is whole: by serial number when the block
    // gives one, else taken from the same device path.
    std::optional<BlockBackup> NewestWholeCopy(const std::string& serial,
                                               const std::string& devicePath) const;
    // Why the scan did not accept the board, and what to do.
    void NoteRefusal(const boarddata::FlashDataRecord& record);
    // Every writing step asks this first, so that no way around the line check writes a board
    // the scan did not accept; logs the step's title and why.
    bool StepRefused(const char* title);
    // The controller answers but runs no firmware (boot state, or an EEPROM cut mid-write).
    bool ControllerWithoutFirmware() const;
    // " --board N", as the restore lines end.
    std::string BoardArgument() const;
    std::string DevicePath() const;
    bool TryEepromByte(std::uint16_t address, std::uint8_t value, int delay, bool reportProgress);
    bool WriteEepromPass(std::uint16_t address, std::uint8_t value, const char* logPrefix,
                         bool reportProgress);

    // Pointers rather than references, so that an engine can be bound to other services.
    platform::OsPort* os_;
    device::BoardTable* boards_;
    protocol::BoardProtocol* protocol_;
    AppUi* ui_;
    BackupStore* backups_;
    BoardUpdateView* view_;
    BoardFacts facts_;
    bool acceptUnmarked_ = false;
    std::string boardArgument_;
    // For a restore: whether the board's block could be read when it was prepared.
    bool restoreReadable_ = false;
};

// A text of the parameter block as a board holds it: printable. An erased block gives 0xFF
// bytes.
bool ReadableText(const std::string& text);
// A year text of the parameter block as a number; anything but decimal digits counts as 0,
// which is older than every year the rules ask about.
int YearNumber(const std::string& year);

} // namespace flashwell::app
