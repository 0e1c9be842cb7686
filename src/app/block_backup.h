// Copies of boards' parameter blocks, kept in the user's data folder before anything erases
// them. A board's identity and calibration live only in that block: firmware can be written
// again any day, the block cannot be made again. One file per copy, written atomically and read
// back before the erase may go ahead.
//
// File: a text header of "key: value" lines, an empty line, then the 7174 bytes exactly as the
// board held them (docs/parameter-block-safety.md).
#pragma once

#include "boarddata/flash_data.h"
#include "history/history.h"

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace flashwell::app {

inline constexpr int kBackupFormatVersion = 1;
inline constexpr const char* kBackupMagic = "FLASHWELL PARAMETER BLOCK BACKUP";
inline constexpr const char* kBackupExtension = ".fwblock";
inline constexpr const char* kWriteRecordExtension = ".fwwriting";

// CRC-32 as zip and PNG compute it (reflected, polynomial 0xEDB88320).
std::uint32_t Crc32(std::span<const std::uint8_t> bytes);

// The user's data folder: %LOCALAPPDATA%\Flashwell on Windows, otherwise
// $XDG_DATA_HOME/flashwell or ~/.local/share/flashwell. Empty when none can be named.
std::filesystem::path DefaultDataFolder();

struct BackupHeader {
    int format = kBackupFormatVersion;
    std::string serial;
    std::string product;
    std::string customer;
    std::string devicePath;
    std::string tool;    // the tool and its version that wrote the copy
    std::string timeUtc; // ISO 8601, e.g. 2026-12-09T11:58:00Z
    std::size_t size = boarddata::kFlashDataSize;
    std::uint32_t crc = 0;
};

struct BlockBackup {
    std::filesystem::path path;
    BackupHeader header;
    boarddata::FlashDataBlock block{};
};

// Reads and checks a backup file (header, size, CRC). On failure `error` says what is wrong in
// plain words and nothing is returned.
std::optional<BlockBackup> ReadBackupFile(const std::filesystem::path& path, std::string& error);

// The record kept from just before a board's parameter block is erased until its read-back has
// matched: while it exists, the block on that board may be half-written and only its copy is
// sure. Keyed by the board's serial number (as the copy has it) and device path.
struct PendingWrite {
    std::string serial;
    std::string devicePath;
    std::filesystem::path copy;    // the copy to restore when the write did not finish
    std::uint32_t copyCrc = 0;     // CRC-32 of the copy's block
    std::uint32_t intendedCrc = 0; // CRC-32 of the block being written
    std::string timeUtc;
    std::filesystem::path file; // the record itself; empty for one only the history holds
    std::string historyId;      // its row in the board history, if any
    std::string computer;       // where it was begun, when another computer's history says so
};

class BackupStore {
public:
    using UtcClock = std::function<std::time_t()>;

    // Whether a copy must be on the disk itself before Save returns. Only tests and fuzzing,
    // whose folders are thrown away, leave it to the page cache.
    enum class Durability { Synced, CacheOnly };

    // dataFolder: the user's data folder; copies go to its "backups" folder.
    BackupStore(std::filesystem::path dataFolder, std::string tool, UtcClock now = {},
                Durability durability = Durability::Synced);

    const std::filesystem::path& Folder() const { return folder_; }

    // The board history that every copy and write record also goes to, committed (and a copy
    // read back) before the erase may go ahead; lookups find other computers' copies and
    // unfinished writes there. nullptr: the files alone.
    void UseHistory(history::History* history) { history_ = history; }
    history::History* History() const { return history_; }
    // The history's row of a copy this store saved or found, if any.
    std::string HistoryIdOf(const std::filesystem::path& copy) const;
    // The copies and write records of this folder that the history does not hold yet go into
    // it, once for each history (a note in the data folder remembers which); the files stay.
    // Returns how many rows were added; `error` says what could not be.
    int ImportIntoHistory(std::string& error);

    // Writes a copy of the block as read from the board, flushed to the disk and renamed into
    // place, then reads it back and compares. Returns the file's path, or nothing with `error`
    // set: then the block must not be erased.
    std::optional<std::filesystem::path> Save(const boarddata::FlashDataBlock& block,
                                              const std::string& devicePath, std::string& error);

    // Records a write of `intended` over the block that `copy` holds, on the disk before it
    // returns (then the erase may go ahead); nothing with `error` set otherwise.
    std::optional<PendingWrite> BeginWrite(const BlockBackup& copy, const std::string& devicePath,
                                           const boarddata::FlashDataBlock& intended,
                                           std::string& error);
    // The write was verified (or its block found whole): the record goes.
    bool EndWrite(const PendingWrite& write, std::string& error);
    std::vector<PendingWrite> PendingWrites() const;
    // The record that concerns a board: by serial number when its block gives one, otherwise by
    // the device path.
    std::optional<PendingWrite> PendingFor(const std::string& serial, const std::string& devicePath,
                                           bool serialReadable) const;

    // Every readable copy, newest first; serial narrows to one board's copies when not empty.
    // Copies only the history holds are written into the folder as files first, so that every
    // copy named can be carried and restored as a file.
    std::vector<BlockBackup> List(const std::string& serial = {}) const;

private:
    std::vector<BlockBackup> FileCopies(const std::string& serial) const;
    std::vector<PendingWrite> FileRecords() const;
    std::optional<BlockBackup> Materialize(const history::StoredCopy& stored) const;
    std::optional<std::filesystem::path> WriteCopyFile(const BackupHeader& header,
                                                       const boarddata::FlashDataBlock& block,
                                                       std::string& error) const;
    // The copy's row in the history, stored now when it has none.
    std::string EnsureInHistory(const BlockBackup& copy, std::string& error);

    std::filesystem::path folder_;
    std::string tool_;
    UtcClock now_;
    Durability durability_;
    history::History* history_ = nullptr;
    // Which history row each copy file is; lookups learn more of it.
    mutable std::map<std::filesystem::path, std::string> historyIds_;
};

// Now, as the copies and the history write times: ISO 8601 UTC.
std::string UtcTimeText(std::time_t t);

// The header lines of a backup as the restore shows them, and a one-line summary for lists.
std::string DescribeBackup(const BlockBackup& backup);
std::string BackupSummaryLine(const BlockBackup& backup);

} // namespace flashwell::app
