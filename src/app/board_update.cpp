#include "app/board_update.h"
#include "app/block_mark.h"

#include "boarddata/images/images.h"

#include <algorithm>
#include <vector>

namespace flashwell::app {

int YearNumber(const std::string& year) {
    if (year.empty()) return 0;
    int value = 0;
    for (char c : year) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
    }
    return value;
}

BoardUpdate::BoardUpdate(int line, Services services, BoardUpdateView& view) {
    facts_.line = line;
    Rebind(services, view);
}

void BoardUpdate::Rebind(Services services, BoardUpdateView& view) {
    os_ = &services.os;
    boards_ = &services.boards;
    protocol_ = &services.protocol;
    ui_ = &services.ui;
    backups_ = &services.backups;
    view_ = &view;
}

std::string BoardUpdate::DevicePath() const {
    const device::TUSBAdapter* adapter = boards_->Adapter(facts_.line);
    return adapter != nullptr ? adapter->DevicePathText() : "";
}

std::string BoardUpdate::BoardArgument() const {
    return " --board " +
           (boardArgument_.empty() ? std::to_string(facts_.line) : "\"" + boardArgument_ + "\"");
}

protocol::ProgressCallback BoardUpdate::Progress() {
    return [this](std::int32_t min, std::int32_t max, std::int32_t pos) {
        ShowProgress(min, max, pos);
    };
}

bool BoardUpdate::Scan() {
    const int i = facts_.line;
    facts_ = BoardFacts{};
    facts_.line = i;
    if (boards_->OpenBoard(i) != 1) {
        Log("Board " + std::to_string(i) + " not present", LineKind::BoardAbsent);
        return false;
    }
    std::string found = "Found board ";
    found += std::to_string(i);
    found += "...";
    Log(found);
    facts_.present = true;
    Identify();
    view_->ShowBoardPanel(0);
    boards_->CloseBoard(i);
    return true;
}

void BoardUpdate::Identify() {
    const int index = facts_.line;
    const bool present = facts_.present;
    facts_ = BoardFacts{};
    facts_.line = index;
    facts_.present = present;
    facts_.devicePath = DevicePath();
    std::vector<std::uint32_t> buffer(images::kDspImageBufferCells);
    const int n = images::BuildFlashProgramImage(buffer.data());
    Log("   loading Flashprogram...");
    protocol_->LoadDspProgram(index, buffer.data(), n);
    Sleep(1000);
    Log("   ...finished with " + std::to_string(n) + " words");
    boarddata::FlashDataRecord record;
    protocol_->ReadFlashData(record, index);

    facts_.blockRead = protocol_->FlashDataFromBoard(index);
    if (facts_.blockRead) {
        facts_.product = record.ProductName;
        facts_.customer = record.Customer;
        if (ReadableText(record.SerialNumber)) facts_.serial = record.SerialNumber;
        facts_.revisionMajor = record.HardwareRevision()[1];
        facts_.revisionMinor = record.HardwareRevision()[0];
        facts_.record = record;
    }
    if (const device::TUSBAdapter* adapter = boards_->Adapter(index))
        facts_.firmwareVersion = adapter->FirmwareVersion;

    BoardFacts& line = facts_;
    if (!protocol_->FlashDataFromBoard(index) && ControllerWithoutFirmware()) {
        // Nothing on the controller passes requests on, so the block could not even be asked
        // for: it is most likely intact. The firmware step needs only the controller.
        line.caption = "Repair firmware";
        line.accepted = true;
        line.repairsFirmwareFirst = true;
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
        line.accepted = true;
    } else {
        line.caption = record.ProductName;
        line.accepted = false;
    }
    if (CheckBlockWhole(record) && !line.accepted) PointAtCopies(record);
    if (!line.accepted) NoteRefusal(record);
    Emit(BoardIdentified{index, facts_.product, facts_.serial, line.accepted, facts_.refusal});
}

void BoardUpdate::NoteRefusal(const boarddata::FlashDataRecord& record) {
    const int index = facts_.line;
    const boarddata::FlashDataBlock* block = protocol_->FlashDataBlockAsRead(index);
    std::string why, remedy;
    if (facts_.blockLost)
        why = "its parameter block is not whole (" + facts_.lostWhy + ")";
    else if (!protocol_->FlashDataFromBoard(index) || block == nullptr)
        why = "its parameter block could not be read";
    else
        why = "its parameter block names the product \"" + record.ProductName +
              "\", which this tool does not update";
    if (const auto& copy = facts_.copyToRestore)
        remedy =
            "Restore its copy: flashwell --restore \"" + copy->string() + "\"" + BoardArgument();
    else if (!facts_.blockLost && protocol_->FlashDataFromBoard(index))
        remedy = "This tool updates only vexta/USB boards.";
    else
        remedy = "No copy of it is on this computer: restore the copy the computer that wrote "
                 "it keeps (flashwell --restore FILE" +
                 BoardArgument() + ").";
    facts_.refusal = why + ". " + remedy;
}

bool BoardUpdate::StepRefused(const char* title) {
    const int index = facts_.line;
    if (!facts_.present || facts_.refusal.empty()) return false;
    Log(title, LineKind::StepTitle);
    Log("   Board " + std::to_string(index) + " was not accepted by the scan - nothing written");
    Fail();
    return true;
}

bool BoardUpdate::ControllerWithoutFirmware() const {
    const int index = facts_.line;
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

std::optional<BlockBackup> BoardUpdate::NewestWholeCopy(const std::string& serial,
                                                        const std::string& devicePath) const {
    for (const BlockBackup& c : backups_->List(serial)) {
        // Copies that are half blocks themselves (saved by an older version) do not count.
        if (HasErasedPart(c.block) || JudgeBlock(c.block) == BlockState::CutShort) continue;
        if (!serial.empty() || (!devicePath.empty() && c.header.devicePath == devicePath)) return c;
    }
    return std::nullopt;
}

bool BoardUpdate::CheckBlockWhole(const boarddata::FlashDataRecord& record) {
    const int index = facts_.line;
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
        why = "its write by an earlier run (" + write->timeUtc +
              (write->computer.empty() ? "" : " on " + write->computer) + ") did not finish";
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
    facts_.blockLost = true;
    facts_.lostWhy = why;
    facts_.copyToRestore = copy;
    facts_.accepted = false;
    Log("   Parameter block of board " + std::to_string(index) + " is not whole: " + why +
        " - nothing is written over it");
    Emit(BlockNotWhole{index, why, copy});
    if (copy) {
        Log("   Restore it with: flashwell --restore \"" + copy->string() + "\"" + BoardArgument(),
            LineKind::RestoreHint);
    } else {
        Log("   No copy of it on this computer: its copy is on the computer that wrote it - "
            "restore that one (flashwell --restore FILE" +
            BoardArgument() + ")");
    }
    if (state == BlockState::CutShort &&
        !backups_->PendingFor(record.SerialNumber, path, serialReadable))
        Log("   A block written by an earlier tool may end in erased cells too: if this board's "
            "was never cut, update it with --accept-unmarked-block");
    return false;
}

void BoardUpdate::PointAtCopies(const boarddata::FlashDataRecord& record) {
    const int index = facts_.line;
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
            facts_.copyToRestore = copy.path;
            Log("   Restore it with: flashwell --restore \"" + copy.path.string() + "\"" +
                    BoardArgument(),
                LineKind::RestoreHint);
            return;
        }
    }
    Log("   Restore one with: flashwell --restore FILE" + BoardArgument(), LineKind::RestoreHint);
}

} // namespace flashwell::app
