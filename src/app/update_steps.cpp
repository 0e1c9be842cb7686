#include "app/block_mark.h"
#include "app/board_update.h"
#include "app/update_rules.h"

#include "boarddata/images/images.h"
#include "device/determine_os.h"
#include <filesystem>
#include <optional>

#include <cmath>
#include <string>
#include <vector>

namespace flashwell::app {

namespace {

using boarddata::FlashDataRecord;

constexpr std::uint8_t kMarkerIdentityOnly = 0xC0;
constexpr std::uint8_t kMarkerNoBoot = 0xFF;
constexpr int kEepromMaxDelay = 101;

std::string Num(long long v) {
    return std::to_string(v);
}

bool IsRevision13Of2006(const FlashDataRecord& r) {
    return r.HardwareRevision()[1] == 1 && r.HardwareRevision()[0] == 3 &&
           YearNumber(r.BoardDate.Year) >= 2006;
}

// Characters count from 1; a serial number too short for a position has no letter there.
char SerialChar(const std::string& serial, std::size_t position) {
    return serial.size() >= position ? serial[position - 1] : '\0';
}

} // namespace

RulesOutcome ApplyParameterBlockRules(FlashDataRecord& record, std::int32_t subId) {
    RulesOutcome out;
    bool& changed = out.changed;
    const auto Log = [&](const std::string& line) { out.lines.push_back(line); };
    for (const BoardRule& rule : kBoardRules) {
        // A rule that changes the serial number changes it for the rules after it.
        if (!rule.Matches(record.SerialNumber)) continue;
        rule.apply(record);
        if (rule.marksChanged) changed = true;
    }

    auto& letterFlags = record.FeatureFlags[2];
    if ((letterFlags & boarddata::kSerialLetterMask) == 0) {
        const char model = SerialChar(record.SerialNumber, 8);
        if ((model == 'A' && SerialChar(record.SerialNumber, 15) == 'i') || model == 'B') {
            letterFlags |= boarddata::kSerialLetterMask;
            changed = true;
        }
    }

    if (IsRevision13Of2006(record)) {
        Log("   Set 32Bit Counter Mode on Rev. 1.3 - SubID: " + Num(subId));
        record.FeatureFlags[2] |= boarddata::kCounter32ModeMask;
        changed = true;
    } else if (subId == 3 || subId == 4) {
        Log("   Set 32 Bit Counter Mode on Rev. 1.2 - SubID: " + Num(subId));
        record.FeatureFlags[2] |= boarddata::kCounter32ModeMask;
        SetRevision(record, 1, 2);
        changed = true;
    } else if (subId == 1 || subId == 2) {
        Log("   Rev 1.1 no support for 32 Bit Counter - SubID: " + Num(subId));
        SetRevision(record, 1, 1);
    }

    return out;
}

RbfChoice ChooseRbf(const FlashDataRecord& record, std::int32_t subId) {
    if (IsRevision13Of2006(record)) return RbfChoice::Rev13;
    if (subId == 3 || subId == 4) return RbfChoice::Rev12;
    if (subId == 1 || subId == 2) return RbfChoice::Rev11;
    return RbfChoice::AskUser;
}

void BoardUpdate::UpdateFlashData() {
    const int index = facts_.line;
    view_->ShowBoardPanel(index);
    if (StepRefused("*** UpdateFlashData ***")) {
        view_->FinishStepProgress();
        return;
    }
    Log("*** UpdateFlashData ***", LineKind::StepTitle);
    if (boards_->OpenBoard(index) == 0)
        Log("   Opening board " + Num(index) + " failed!!!");
    else
        Log("   Opening board " + Num(index));
    Log("   Read Flashdata...");
    bool changed = false;
    FlashDataRecord record;
    const bool open = boards_->IsBoardOpen(index);
    protocol_->ReadFlashData(record, index);
    const bool fromBoard = open && protocol_->FlashDataFromBoard(index);
    const std::int32_t subId = protocol_->DspRequest(index, 1, kSubIdQuery, 0);
    if (static_cast<std::uint32_t>(subId) != protocol::FailureWord) facts_.subId = subId;
    Log("   Board Serial " + record.SerialNumber);

    if (fromBoard && !CheckBlockWhole(record)) {
        // Rules applied to half a block would write the half for good, over the only sign that
        // the copy is the one to restore.
        Log("   Parameter block is not whole - nothing written");
        Fail();
    } else if (!fromBoard) {
        // Rules applied to the default record would overwrite the board's serial number and
        // calibration data with nothing.
        Log("   Parameter block could not be read - nothing written");
        Fail();
    } else if (record.ProductName != "vexta/USB") {
        // The rules are for this product's blocks; applied to another's they would write it.
        Log("   Parameter block names the product \"" + record.ProductName +
            "\" - nothing written");
        Fail();
    } else if (static_cast<std::uint32_t>(subId) == protocol::FailureWord) {
        // Without the SubID the counter mode cannot be decided; guessing would write a block
        // that may not fit the board.
        Log("   SubID could not be read - nothing written");
        Fail();
    } else {
        const RulesOutcome rules = ApplyParameterBlockRules(record, subId);
        for (const std::string& line : rules.lines)
            Log(line);
        changed = rules.changed;

        if (changed) {
            Log("   Updating Flashdata...");
            boarddata::ClassifyBoardType(record);
            Log("   Writing new flashdata...");
            const auto backup = SaveBlockAsRead();
            if (!backup) {
                Fail();
            } else if (!WriteBlockVerified(protocol_->PackFlashDataBlock(index, record), *backup)) {
                Log("   Writing flashdata failed!");
                Fail();
            }
        }
    }
    Log("...finished");
    boards_->CloseBoard(index);
    view_->FinishStepProgress();
}

std::optional<std::filesystem::path> BoardUpdate::SaveBlockAsRead() {
    const int index = facts_.line;
    const boarddata::FlashDataBlock* cached = protocol_->FlashDataBlockAsRead(index);
    const device::TUSBAdapter* adapter = boards_->Adapter(index);
    std::string error = "the block as read from the board is not at hand";
    std::optional<std::filesystem::path> saved;
    if (cached != nullptr) {
        // The pipes carry no checksum: a byte changed on its way in would be written back for
        // good and kept in the copy. A second read must give the same bytes.
        const boarddata::FlashDataBlock first = *cached;
        protocol_->ForgetFlashData(index);
        FlashDataRecord record;
        protocol_->ReadFlashData(record, index); // read again, and kept at hand for the write
        if (protocol_->FlashDataBlockAsRead(index) != nullptr &&
            *protocol_->FlashDataBlockAsRead(index) == first) {
            saved = backups_->Save(first, adapter ? adapter->DevicePathText() : "", error);
            if (saved) Emit(CopySaved{index, *saved, record.SerialNumber});
        } else
            error = "two reads of the block gave different bytes";
    }
    // Without a copy on the disk an erase could lose the board's identity and calibration.
    if (!saved) Log("   Parameter block could not be saved - nothing written: " + error);
    return saved;
}

bool BoardUpdate::WriteBlockVerified(const boarddata::FlashDataBlock& unmarked,
                                     const std::filesystem::path& backup) {
    const int index = facts_.line;
    // The mark goes into the last cells the write sends: on the board it says the write ended.
    const boarddata::FlashDataBlock block = WithBlockMark(unmarked);
    // Until the read-back matches, the block on the board may be half-written: a record on the
    // disk says so to every later scan, whatever happens to this process or the board.
    std::string error;
    const std::optional<BlockBackup> copy = ReadBackupFile(backup, error);
    const device::TUSBAdapter* adapter = boards_->Adapter(index);
    const std::optional<PendingWrite> pending =
        copy ? backups_->BeginWrite(*copy, adapter ? adapter->DevicePathText() : "", block, error)
             : std::nullopt;
    if (!pending) {
        Log("   Parameter block could not be saved - nothing written: " + error);
        return false;
    }
    for (int attempt = 1; attempt <= kBlockWriteAttempts; ++attempt) {
        if (attempt > 1) {
            Log("   Writing flashdata again (attempt " + Num(attempt) + " of " +
                Num(kBlockWriteAttempts) + ")");
            // A request lost in the middle of a block leaves the flash-access program waiting
            // for words that never come: loading it afresh brings both sides back in step.
            std::vector<std::uint32_t> program(images::kDspImageBufferCells);
            const int n = images::BuildFlashProgramImage(program.data());
            protocol_->LoadDspProgram(index, program.data(), n);
            Sleep(1000);
        }
        if (protocol_->WriteFlashDataBlock(index, block, Progress()) == 0) {
            using ReadBack = protocol::FlashAccess::ReadBack;
            ReadBack back = protocol_->ReadBackFlashDataBlock(index, block);
            // An unreadable block may well be the right one: read once more before erasing
            // anything again.
            if (back == ReadBack::Unreadable && boards_->IsBoardOpen(index))
                back = protocol_->ReadBackFlashDataBlock(index, block);
            if (back == ReadBack::Same) {
                if (!backups_->EndWrite(*pending, error)) Log("   Warning: " + error);
                return true;
            }
            if (back == ReadBack::Unreadable) {
                Log("   Parameter block could not be read back");
                if (boards_->IsBoardOpen(index)) {
                    Log("   The parameter block is saved in " + backup.string());
                    return false;
                }
            } else {
                Log("   Parameter block read back differs from what was written");
            }
        }
        if (!boards_->IsBoardOpen(index)) {
            Log("   Board lost - its parameter block is saved in " + backup.string());
            Emit(BoardLost{index, backup});
            Log("   Restore it with: flashwell --restore \"" + backup.string() + "\"" +
                    BoardArgument(),
                LineKind::RestoreHint);
            return false;
        }
    }
    Log("   The parameter block is saved in " + backup.string());
    return false;
}

BoardUpdate::RestoreAnswer BoardUpdate::PrepareRestore(const BlockBackup& backup) {
    const int index = facts_.line;
    Log("*** Restore parameter block ***", LineKind::StepTitle);
    Log("   From " + backup.path.string());
    if (boards_->OpenBoard(index) == 0) {
        Log("   Opening board " + Num(index) + " failed!!!");
        ui_->ShowMessage(platform::MessageKind::Error, platform::kApplicationTitle,
                         "Board " + Num(index) + " cannot be opened.",
                         platform::MessageButtons::Ok);
        return RestoreAnswer::NotOpened;
    }
    // What the board holds now, read afresh: a block kept from before a lost write may no longer
    // be what the flash holds.
    protocol_->ForgetFlashData(index);
    FlashDataRecord now;
    protocol_->ReadFlashData(now, index);
    const bool readable = protocol_->FlashDataFromBoard(index);
    restoreReadable_ = readable;
    std::string text = "Restore the parameter block of board " + Num(index) + " from\r\n" +
                       backup.path.string() + "\r\n\r\nThe copy: serial " + backup.header.serial +
                       ", " + backup.header.product +
                       (backup.header.customer.empty() ? "" : ", " + backup.header.customer) +
                       ", saved " + backup.header.timeUtc + "\r\nThe board now: ";
    if (readable)
        text += "serial " + now.SerialNumber + ", " + now.ProductName;
    else
        text += "no readable parameter block";
    if (readable && now.SerialNumber != backup.header.serial)
        text += "\r\n\r\nWARNING: the serial numbers differ - this copy belongs to another "
                "board!";
    text += "\r\n\r\nDo you want to continue?";
    Log(readable ? "   Board holds serial " + now.SerialNumber
                 : "   Board holds no readable parameter block");
    if (ui_->ShowMessage(platform::MessageKind::Confirmation, "Restore", text,
                         platform::MessageButtons::OkCancel) != platform::MessageAnswer::Ok) {
        Log("   Restore cancelled - nothing written");
        boards_->CloseBoard(index);
        return RestoreAnswer::Cancelled;
    }
    // Another board's identity and calibration over this one's is never one OK away.
    if (readable && ReadableText(now.SerialNumber) && now.SerialNumber != backup.header.serial &&
        ui_->ShowMessage(platform::MessageKind::Warning, "Another board's copy",
                         "The copy is of board " + backup.header.serial + ", but board " +
                             Num(index) + " holds the parameter block of " + now.SerialNumber +
                             ".\r\nWriting it replaces this board's identity and calibration "
                             "with another board's.\r\n\r\nWrite the copy of " +
                             backup.header.serial + " onto board " + Num(index) + " anyway?",
                         platform::MessageButtons::YesNo) != platform::MessageAnswer::Yes) {
        Log("   Restore refused - the copy belongs to board " + backup.header.serial +
            " - nothing written");
        boards_->CloseBoard(index);
        return RestoreAnswer::Cancelled;
    }
    return RestoreAnswer::Write;
}

bool BoardUpdate::WriteRestore(const BlockBackup& backup) {
    const int index = facts_.line;
    bool ok = true;
    // What the board holds now is kept too: a restore must not lose a block either.
    std::optional<std::filesystem::path> keep = backup.path;
    if (restoreReadable_) {
        keep = SaveBlockAsRead();
        ok = keep.has_value();
    }
    if (ok) {
        Log("   Writing the parameter block...");
        ok = WriteBlockVerified(backup.block, backup.path);
    }
    Log(ok ? "   Parameter block restored and verified"
           : "   Restoring the parameter block failed!");
    if (ok) {
        // Records of unfinished writes on this board are settled by the block now on it.
        const std::string path = DevicePath();
        for (const PendingWrite& w : backups_->PendingWrites()) {
            std::string error;
            if (!path.empty() && w.devicePath == path) backups_->EndWrite(w, error);
        }
        facts_.blockLost = false;
        facts_.copyToRestore.reset();
    }
    boards_->CloseBoard(index);
    return ok;
}

void BoardUpdate::UpdateRBF() {
    const int index = facts_.line;
    view_->ShowBoardPanel(index);
    if (StepRefused("*** UpdateRBF ***")) return;
    Log("*** UpdateRBF ***", LineKind::StepTitle);
    Log("   Opening board " + Num(index));
    boards_->OpenBoard(index);
    const std::int32_t subId = protocol_->DspRequest(index, 1, kSubIdQuery, 0);
    if (static_cast<std::uint32_t>(subId) != protocol::FailureWord) facts_.subId = subId;
    FlashDataRecord record;
    protocol_->ReadFlashData(record, index);

    const std::uint8_t* image = nullptr;
    int length = 0;
    const auto choose = [&](int revision) {
        switch (revision) {
        case 0:
            image = images::RbfImageRev11;
            length = images::kRbfImageRev11Size;
            break;
        case 1:
            image = images::RbfImageRev12;
            length = images::kRbfImageRev12Size;
            break;
        case 2:
            image = images::RbfImageRev13;
            length = images::kRbfImageRev13Size;
            break;
        default:
            break;
        }
    };
    const RbfChoice rbf = ChooseRbf(record, subId);
    if (rbf == RbfChoice::Rev13) {
        Log("   Write RBF for USB Hardware Rev. 1.3 - SubID: " + Num(subId));
        choose(2);
        view_->AlteraUnknown() = false;
    } else if (rbf == RbfChoice::Rev12) {
        Log("   Write RBF for USB Hardware Rev. 1.2 - SubID: " + Num(subId));
        choose(1);
        view_->AlteraUnknown() = false;
    } else if (rbf == RbfChoice::Rev11) {
        Log("   Write RBF for USB Hardware Rev. 1.1 - SubID: " + Num(subId));
        choose(0);
        view_->AlteraUnknown() = false;
    } else {
        Log("   Write RBF for USB Hardware Rev. 1.x - SubID: " + Num(subId));
        view_->AlteraUnknown() = true;
        choose(view_->AskRevision());
        if (image == nullptr) {
            Log("   Closing board");
            boards_->CloseBoard(index);
            Log("Error occured during RBF - Cancelling actions");
            Fail();
            return;
        }
    }

    const bool written = protocol_->WriteRbfImage(index, image, length, Progress());
    // A success may clear a failure left by an earlier run, never one of this run.
    if (!written)
        Fail();
    else
        view_->StepSucceeded();
    view_->FinishStepProgress();
    Log("   Closing board");
    boards_->CloseBoard(index);
    Sleep(2000);
}

void BoardUpdate::UpdateKPCI() {
    if (view_->AlteraUnknown() &&
        ui_->ShowMessage(platform::MessageKind::Warning, "Warning",
                         "!!! WARNING !!!\r\nAltera type could not be identified!\r\nWriting the "
                         "KPCI update may damage the flash content if the\r\nbank switching will "
                         "not succeed\r\n\r\nContinue anyway?",
                         platform::MessageButtons::YesNo) == platform::MessageAnswer::No) {
        Log("UpdateKPCI cancelled due to unknown Altera ID");
        return;
    }
    const int index = facts_.line;
    view_->ShowBoardPanel(index);
    if (StepRefused("*** Update KPCI ***")) return;
    Log("*** Update KPCI ***", LineKind::StepTitle);
    Log("   Opening board " + Num(index));
    boards_->OpenBoard(index);
    Log("   Allocating memory");
    std::vector<std::uint8_t> buffer(512000);
    Log("   Loading data...");
    const int n = images::BuildKpciImage(buffer.data() + 6);
    const std::uint8_t frame[3] = {0x54, 0xAA, 0x32};
    buffer[0] = frame[0];
    buffer[1] = frame[1];
    buffer[2] = frame[2];
    buffer[3] = 0x00;
    buffer[4] = 0x00;
    buffer[5] = 0x01;
    const std::size_t trailer = 6 + 3 * static_cast<std::size_t>(n);
    buffer[trailer] = frame[0];
    buffer[trailer + 1] = frame[1];
    buffer[trailer + 2] = frame[2];
    Log("   ...data loaded with " + Num(n) + " bytes");

    Log("   Switching to second flash block");
    if (protocol_->SelectFlashBank(index, 1) != 0) {
        Log("Cannot change to second flash block");
        Fail();
        boards_->CloseBoard(index);
        return;
    }
    Log("   Write data");
    if (protocol_->WriteKpciImage(index, buffer.data(), n + 3, Progress(), 0) != 0) {
        Log("   Error in writing flash data");
        Fail();
        boards_->CloseBoard(index);
        return;
    }
    buffer.clear();
    Log("   Switching back to first block");
    if (protocol_->SelectFlashBank(index, 0) != 0) {
        Log("Cannot change back to first block");
        Fail();
        boards_->CloseBoard(index);
        return;
    }
    view_->FinishStepProgress();
    boards_->CloseBoard(index);
    Sleep(2000);
}

void BoardUpdate::UpdateBootprogram() {
    const int index = facts_.line;
    if (StepRefused("*** Update Bootprogram ***")) return;
    ShowProgress(0, 100, 0);
    view_->ShowBoardPanel(index);
    Log("*** Update Bootprogram ***", LineKind::StepTitle);
    Log("   Opening board " + Num(index));
    boards_->OpenBoard(index);
    Log("   Allocating memory");
    std::vector<std::uint32_t> buffer(images::kDspImageBufferCells);
    ShowProgress(0, 100, 10);
    Log("   Loading USB-Bootprogram");
    const int n = images::BuildBootProgramImage(buffer.data());
    Log("   loading Bootprogram...");
    ShowProgress(0, 100, 20);
    const bool loaded = protocol_->LoadDspProgram(index, buffer.data(), n);
    ShowProgress(0, 100, 40);
    if (!loaded) {
        // Part of the program never reached the DSP: what it writes into the flash is not it.
        Log("   Loading the boot program failed!");
        Fail();
    }
    Log("   Waiting for flash to be written...");
    buffer.clear();
    ShowProgress(0, 100, 50);
    for (int p = 60; p <= 100; p += 10) {
        Sleep(800);
        ShowProgress(0, 100, p);
    }
    Log("   ...finished");
    view_->FinishStepProgress();
    boards_->CloseBoard(index);
    Sleep(2000);
}

void BoardUpdate::UpdateFirmware() {
    const int index = facts_.line;
    view_->ShowBoardPanel(index);
    if (StepRefused("*** Update Firmware ***")) return;
    Log("*** Update Firmware ***", LineKind::StepTitle);
    Log("   Opening board " + Num(index));
    boards_->OpenBoard(index);
    Log("   loading flash program...");
    const std::uint32_t n =
        protocol_->DownloadHexRecords(index, images::RamFirmwareHex, images::kRamFirmwareHexLength);
    boards_->CloseBoard(index);
    Log("   ...finished with " + Num(static_cast<std::int32_t>(n)) + " words");
    // Without the RAM firmware the EEPROM write below talks to whatever the controller runs.
    if (n == protocol::FailureWord) Fail();
    Log("   Reenumerating...");
    Sleep(2000);
    device::CheckDriverSupport(*os_, *ui_);
    Sleep(500);
    if (boards_->OpenBoard(index) == 0) {
        Log("   ...failed!");
        const platform::MessageAnswer answer = ui_->ShowMessage(
            platform::MessageKind::Confirmation, "Confirm",
            "Automatic ReEnumeration failed\r\n\r\nPlease disconnect board from USB bus and\r\n"
            "reconnect again.\r\nPress OK to continue or Cancel to Abort",
            platform::MessageButtons::OkCancel);
        if (answer != platform::MessageAnswer::Ok) {
            view_->FinishStepProgress();
            return;
        }
        if (boards_->OpenBoard(index) == 0) {
            Log("   Manual ReEnumerate failed!");
            ui_->ShowMessage(platform::MessageKind::Error, "Error",
                             "Critical error\r\nCould not reconnect to board!\r\nFirmware cannot "
                             "be updated now",
                             platform::MessageButtons::Cancel);
            Fail();
            view_->FinishStepProgress();
            return;
        }
    }
    Log("   ...finished");
    WriteEepromImage();
    boards_->CloseBoard(index);
    view_->FinishStepProgress();
}

bool BoardUpdate::TryEepromByte(std::uint16_t address, std::uint8_t value, int delay,
                                bool reportProgress) {
    const int index = facts_.line;
    protocol_->EepWrite(index, address, value);
    Sleep(2);
    if (reportProgress)
        ShowProgress(0, 100,
                     static_cast<std::int32_t>(std::nearbyint(
                         static_cast<double>(address) / images::kEepromBootImageSize * 100.0)));
    Sleep(static_cast<platform::DWORD>(delay));
    std::uint8_t readBack = 0;
    // A read that failed is never taken for a stored byte, not even for a 0x00.
    return protocol_->EepReadChecked(index, address, readBack) && readBack == value;
}

bool BoardUpdate::WriteEepromPass(std::uint16_t address, std::uint8_t value, const char* logPrefix,
                                  bool reportProgress) {
    for (int delay = 1; delay <= kEepromMaxDelay; ++delay) {
        if (delay >= 2 && delay <= 100) Log(logPrefix + Num(delay) + ") ...");
        const bool verified = TryEepromByte(address, value, delay, reportProgress);
        if (verified && delay <= 100) return true;
    }
    return false;
}

void BoardUpdate::WriteEepromImage() {
    const int index = facts_.line;
    const std::uint8_t* image = images::EepromBootImage;
    ShowProgress(0, 100, 0);
    Log("try with delay (" + Num(0) + ") ...");
    // Until the last byte is in place the controller must not try to boot the half-written
    // firmware: it keeps its identity only.
    protocol_->EepWrite(index, 0, kMarkerIdentityOnly);
    ShowProgress(0, 100, 0);
    bool ok = true;
    for (int a = 1; a < images::kEepromBootImageSize && ok; ++a)
        ok = WriteEepromPass(static_cast<std::uint16_t>(a), image[a], "try with delay (", true);
    if (ok) ok = WriteEepromPass(0, image[0], "try with delay (", false);
    if (!ok) {
        WriteEepromPass(0, kMarkerNoBoot, "try with delay -failesafe- (", false);
        Log("   EEPROM write failed!");
        Fail();
    }
    ShowProgress(0, 100, 0);
}

} // namespace flashwell::app
