#include "app/block_backup.h"
#include "app/durable_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace flashwell::app {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxHeaderBytes = 4096;

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

// Header values are single lines of printable text: anything else would break the file's form.
std::string OneLine(const std::string& text) {
    std::string line;
    for (const char c : text)
        line += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
    return line;
}

// Serial numbers name files: keep what every file system takes.
std::string FileNamePart(const std::string& text) {
    std::string part;
    for (const char c : text) {
        const bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        part += safe ? c : '_';
    }
    if (part.empty() || part.find_first_not_of("._") == std::string::npos) part = "no-serial";
    return part.substr(0, 64);
}

std::string UtcText(std::time_t t, bool forFileName) {
    std::tm parts{};
#ifdef _WIN32
    gmtime_s(&parts, &t);
#else
    gmtime_r(&t, &parts);
#endif
    char text[32];
    std::strftime(text, sizeof text, forFileName ? "%Y%m%dT%H%M%SZ" : "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::string HexCrc(std::uint32_t crc) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", crc);
    return text;
}

std::string HeaderText(const BackupHeader& h) {
    std::ostringstream out;
    out << kBackupMagic << "\n"
        << "format: " << h.format << "\n"
        << "serial: " << OneLine(h.serial) << "\n"
        << "product: " << OneLine(h.product) << "\n"
        << "customer: " << OneLine(h.customer) << "\n"
        << "device: " << OneLine(h.devicePath) << "\n"
        << "tool: " << OneLine(h.tool) << "\n"
        << "time: " << h.timeUtc << "\n"
        << "size: " << h.size << "\n"
        << "crc32: " << HexCrc(h.crc) << "\n"
        << "\n";
    return out.str();
}

} // namespace

std::uint32_t Crc32(std::span<const std::uint8_t> bytes) {
    static constexpr std::array<std::uint32_t, 256> table = MakeCrcTable();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const std::uint8_t b : bytes)
        crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

fs::path DefaultDataFolder() {
#ifdef _WIN32
    if (const char* local = std::getenv("LOCALAPPDATA"); local != nullptr && *local != '\0')
        return fs::path(local) / "Flashwell";
    return {};
#else
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/')
        return fs::path(xdg) / "flashwell";
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return fs::path(home) / ".local" / "share" / "flashwell";
    return {};
#endif
}

std::optional<BlockBackup> ReadBackupFile(const fs::path& path, std::string& error) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        error = path.string() + ": no such file";
        return std::nullopt;
    }
    const auto fileSize = fs::file_size(path, ec);
    if (ec || fileSize > kMaxHeaderBytes + boarddata::kFlashDataSize) {
        error = path.string() + ": not a parameter-block backup (size)";
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), {}};
    if (DiskFault("copy", "corrupt-read") != 0 && !bytes.empty()) bytes.back() ^= 0x01;
    const std::size_t end = bytes.find("\n\n");
    if (bytes.rfind(std::string(kBackupMagic) + "\n", 0) != 0 || end == std::string::npos ||
        end > kMaxHeaderBytes) {
        error = path.string() + ": not a parameter-block backup (header)";
        return std::nullopt;
    }
    BlockBackup backup;
    backup.path = path;
    BackupHeader& h = backup.header;
    bool haveFormat = false, haveSize = false, haveCrc = false;
    std::istringstream lines(bytes.substr(0, end));
    std::string line;
    std::getline(lines, line); // the magic line
    while (std::getline(lines, line)) {
        const std::size_t colon = line.find(": ");
        if (colon == std::string::npos) continue;
        const std::string key = line.substr(0, colon);
        const std::string value = line.substr(colon + 2);
        if (key == "format") {
            h.format = std::atoi(value.c_str());
            haveFormat = true;
        } else if (key == "serial") {
            h.serial = value;
        } else if (key == "product") {
            h.product = value;
        } else if (key == "customer") {
            h.customer = value;
        } else if (key == "device") {
            h.devicePath = value;
        } else if (key == "tool") {
            h.tool = value;
        } else if (key == "time") {
            h.timeUtc = value;
        } else if (key == "size") {
            h.size = static_cast<std::size_t>(std::strtoul(value.c_str(), nullptr, 10));
            haveSize = true;
        } else if (key == "crc32") {
            h.crc = static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 16));
            haveCrc = true;
        }
    }
    if (!haveFormat || h.format != kBackupFormatVersion) {
        error = path.string() + ": backup format " + std::to_string(h.format) +
                " is not one this tool reads";
        return std::nullopt;
    }
    const std::size_t payload = bytes.size() - (end + 2);
    if (!haveSize || h.size != boarddata::kFlashDataSize || payload != boarddata::kFlashDataSize) {
        error = path.string() + ": holds " + std::to_string(payload) +
                " bytes, a parameter block has " + std::to_string(boarddata::kFlashDataSize);
        return std::nullopt;
    }
    std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(end + 2), bytes.end(),
              backup.block.begin());
    const std::uint32_t crc = Crc32(backup.block);
    if (!haveCrc || crc != h.crc) {
        error = path.string() + ": damaged (CRC-32 " + HexCrc(crc) + ", header says " +
                HexCrc(h.crc) + ")";
        return std::nullopt;
    }
    return backup;
}

BackupStore::BackupStore(fs::path dataFolder, std::string tool, UtcClock now, Durability durability)
    : folder_(dataFolder.empty() ? fs::path() : dataFolder / "backups"), tool_(std::move(tool)),
      now_(now ? std::move(now) : UtcClock([] { return std::time(nullptr); })),
      durability_(durability) {}

std::optional<fs::path> BackupStore::WriteCopyFile(const BackupHeader& h,
                                                   const boarddata::FlashDataBlock& block,
                                                   std::string& error) const {
    if (folder_.empty()) {
        error = "no data folder for backups (set --data-dir)";
        return std::nullopt;
    }
    std::error_code ec;
    fs::create_directories(folder_, ec);
    if (ec) {
        error = "cannot create " + folder_.string() + ": " + ec.message();
        return std::nullopt;
    }
    // Never replace an earlier copy: two saves in one second get distinct names.
    std::string time;
    for (const char c : h.timeUtc)
        if (c != '-' && c != ':') time += c;
    const std::string stem = FileNamePart(h.serial) + "_" + time;
    fs::path path = folder_ / (stem + kBackupExtension);
    for (int n = 2; fs::exists(path, ec); ++n)
        path = folder_ / (stem + "-" + std::to_string(n) + kBackupExtension);

    std::string bytes = HeaderText(h);
    bytes.append(reinterpret_cast<const char*>(block.data()), block.size());
    if (!WriteFileAtomically("copy", path, bytes, durability_ == Durability::Synced, error))
        return std::nullopt;

    std::string readError;
    const auto back = ReadBackupFile(path, readError);
    if (!back || back->block != block) {
        error = back ? path.string() + ": reads back different bytes" : readError;
        // A copy that is not the block must not be listed as one.
        std::string ignored;
        RemoveFileDurably("copy", path, false, ignored);
        return std::nullopt;
    }
    return path;
}

std::optional<fs::path> BackupStore::Save(const boarddata::FlashDataBlock& block,
                                          const std::string& devicePath, std::string& error) {
    boarddata::FlashDataRecord record;
    boarddata::UnpackFlashData(block, record);
    BackupHeader h;
    h.serial = record.SerialNumber;
    h.product = record.ProductName;
    h.customer = record.Customer;
    h.devicePath = devicePath;
    h.tool = tool_;
    h.timeUtc = UtcText(now_(), false);
    h.crc = Crc32(block);
    const std::optional<fs::path> path = WriteCopyFile(h, block, error);
    if (!path || history_ == nullptr) return path;
    // The copy every computer finds: committed and read back before anything is erased.
    if (EnsureInHistory({*path, h, block}, error).empty()) {
        if (error.rfind(history_->Description(), 0) != 0)
            error = history_->Description() + ": " + error;
        return std::nullopt;
    }
    return path;
}

int BackupStore::ImportIntoHistory(std::string& error) {
    std::error_code ec;
    if (history_ == nullptr || folder_.empty() || !fs::is_directory(folder_, ec)) return 0;
    // Beside the copies' folder, not in it: that folder holds copies only, to be carried.
    const fs::path note = folder_.parent_path() / "history-imported";
    {
        std::ifstream in(note);
        for (std::string line; std::getline(in, line);)
            if (line == history_->Description()) return 0;
    }
    int added = 0;
    const std::vector<BlockBackup> files = FileCopies("");
    for (const BlockBackup& copy : files) {
        const auto stored = history_->Copies(copy.header.serial, error, false);
        const bool known = std::any_of(stored.begin(), stored.end(), [&](const auto& c) {
            return c.crc == copy.header.crc && c.savedAt == copy.header.timeUtc;
        });
        if (known) continue;
        if (EnsureInHistory(copy, error).empty()) return added;
        ++added;
    }
    // An unfinished write of an earlier version becomes a row every computer sees.
    const auto open = history_->OpenWrites(error);
    for (const PendingWrite& w : FileRecords()) {
        const bool known = std::any_of(open.begin(), open.end(), [&](const auto& row) {
            return row.serial == w.serial && row.begunAt == w.timeUtc &&
                   row.intendedCrc == w.intendedCrc;
        });
        std::string readError;
        const auto copy = ReadBackupFile(w.copy, readError);
        if (known || !copy) continue;
        history::StoredWrite row;
        row.serial = w.serial;
        row.place = w.devicePath;
        row.copyId = EnsureInHistory(*copy, error);
        row.copyCrc = w.copyCrc;
        row.intendedCrc = w.intendedCrc;
        row.begunAt = w.timeUtc;
        if (row.copyId.empty() || !history_->BeginWrite(row, error)) return added;
        ++added;
    }
    std::ofstream(note, std::ios::app) << history_->Description() << "\n";
    return added;
}

std::string BackupStore::HistoryIdOf(const fs::path& copy) const {
    const auto found = historyIds_.find(copy);
    return found == historyIds_.end() ? std::string() : found->second;
}

std::string BackupStore::EnsureInHistory(const BlockBackup& copy, std::string& error) {
    if (std::string id = HistoryIdOf(copy.path); !id.empty()) return id;
    history::StoredCopy stored;
    stored.serial = copy.header.serial;
    stored.product = copy.header.product;
    stored.customer = copy.header.customer;
    stored.place = copy.header.devicePath;
    stored.tool = copy.header.tool;
    stored.savedAt = copy.header.timeUtc;
    stored.crc = Crc32(copy.block);
    stored.block.assign(copy.block.begin(), copy.block.end());
    if (!history_->AddCopy(stored, error)) {
        if (error.empty()) error = "the copy was not stored";
        return "";
    }
    historyIds_[copy.path] = stored.id;
    return stored.id;
}

std::optional<BlockBackup> BackupStore::Materialize(const history::StoredCopy& stored) const {
    if (stored.block.size() != boarddata::kFlashDataSize) return std::nullopt;
    BackupHeader h;
    h.serial = stored.serial;
    h.product = stored.product;
    h.customer = stored.customer;
    h.devicePath = stored.place;
    h.tool = stored.tool;
    h.timeUtc = stored.savedAt;
    BlockBackup b;
    std::copy(stored.block.begin(), stored.block.end(), b.block.begin());
    h.crc = Crc32(b.block);
    if (h.crc != stored.crc) return std::nullopt; // damaged in the store: not a copy
    std::string error;
    const auto path = WriteCopyFile(h, b.block, error);
    if (!path) return std::nullopt;
    b.path = *path;
    b.header = h;
    historyIds_[b.path] = stored.id;
    return b;
}

namespace {

constexpr const char* kWriteMagic = "FLASHWELL PARAMETER BLOCK WRITE";

std::string WriteRecordText(const PendingWrite& w) {
    std::ostringstream out;
    out << kWriteMagic << "\n"
        << "format: 1\n"
        << "serial: " << OneLine(w.serial) << "\n"
        << "device: " << OneLine(w.devicePath) << "\n"
        << "copy: " << OneLine(w.copy.string()) << "\n"
        << "copy-crc32: " << HexCrc(w.copyCrc) << "\n"
        << "intended-crc32: " << HexCrc(w.intendedCrc) << "\n"
        << "time: " << w.timeUtc << "\n";
    return out.str();
}

std::optional<PendingWrite> ReadWriteRecord(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string line;
    if (!std::getline(in, line) || line != kWriteMagic) return std::nullopt;
    PendingWrite w;
    w.file = file;
    bool haveCopy = false;
    while (std::getline(in, line)) {
        const std::size_t colon = line.find(": ");
        if (colon == std::string::npos) continue;
        const std::string key = line.substr(0, colon), value = line.substr(colon + 2);
        if (key == "serial") w.serial = value;
        if (key == "device") w.devicePath = value;
        if (key == "copy") {
            w.copy = value;
            haveCopy = !value.empty();
        }
        if (key == "copy-crc32")
            w.copyCrc = static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 16));
        if (key == "intended-crc32")
            w.intendedCrc = static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 16));
        if (key == "time") w.timeUtc = value;
    }
    if (!haveCopy) return std::nullopt;
    return w;
}

} // namespace

std::optional<PendingWrite> BackupStore::BeginWrite(const BlockBackup& copy,
                                                    const std::string& devicePath,
                                                    const boarddata::FlashDataBlock& intended,
                                                    std::string& error) {
    if (folder_.empty()) {
        error = "no data folder for backups (set --data-dir)";
        return std::nullopt;
    }
    PendingWrite w;
    w.serial = copy.header.serial;
    w.devicePath = devicePath;
    w.copy = copy.path;
    w.copyCrc = Crc32(copy.block);
    w.intendedCrc = Crc32(intended);
    w.timeUtc = UtcText(now_(), false);
    // One record per board: its serial number and where it is plugged in.
    const std::uint32_t place = Crc32(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(devicePath.data()), devicePath.size()));
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "_%08X", place);
    w.file = folder_ / (FileNamePart(w.serial) + suffix + kWriteRecordExtension);
    if (!WriteFileAtomically("record", w.file, WriteRecordText(w),
                             durability_ == Durability::Synced, error))
        return std::nullopt;
    if (history_ != nullptr) {
        // Every computer must learn that this block may be half-written: no row, no erase.
        history::StoredWrite row;
        row.serial = w.serial;
        row.place = w.devicePath;
        row.copyId = EnsureInHistory(copy, error);
        row.copyCrc = w.copyCrc;
        row.intendedCrc = w.intendedCrc;
        row.begunAt = w.timeUtc;
        if (row.copyId.empty() || !history_->BeginWrite(row, error)) {
            if (error.rfind(history_->Description(), 0) != 0)
                error = history_->Description() + ": " + error;
            std::string ignored;
            RemoveFileDurably("record", w.file, false, ignored);
            return std::nullopt;
        }
        w.historyId = row.id;
    }
    return w;
}

bool BackupStore::EndWrite(const PendingWrite& write, std::string& error) {
    bool ok = write.file.empty() ||
              RemoveFileDurably("record", write.file, durability_ == Durability::Synced, error);
    if (history_ != nullptr && !write.historyId.empty()) {
        std::string historyError;
        if (!history_->EndWrite(write.historyId, UtcText(now_(), false), historyError)) {
            // The row stays open: the next scan finds the block whole and settles it.
            error = history_->Description() + ": " + historyError;
            ok = false;
        }
    }
    return ok;
}

std::vector<PendingWrite> BackupStore::FileRecords() const {
    std::vector<PendingWrite> found;
    std::error_code ec;
    if (folder_.empty() || !fs::is_directory(folder_, ec)) return found;
    for (const auto& entry : fs::directory_iterator(folder_, ec))
        if (entry.path().extension() == kWriteRecordExtension)
            if (auto w = ReadWriteRecord(entry.path())) found.push_back(std::move(*w));
    return found;
}

std::vector<PendingWrite> BackupStore::PendingWrites() const {
    std::vector<PendingWrite> found = FileRecords();
    if (history_ == nullptr) return found;
    std::string error;
    for (const history::StoredWrite& row : history_->OpenWrites(error)) {
        // This computer's own record of the same write already says it.
        const bool known = std::any_of(found.begin(), found.end(), [&](const PendingWrite& w) {
            return w.serial == row.serial && w.timeUtc == row.begunAt &&
                   w.intendedCrc == row.intendedCrc;
        });
        if (known) {
            for (PendingWrite& w : found)
                if (w.serial == row.serial && w.timeUtc == row.begunAt) w.historyId = row.id;
            continue;
        }
        const auto stored = history_->Copy(row.copyId, error);
        if (!stored) continue;
        std::optional<BlockBackup> copy;
        for (const BlockBackup& c : FileCopies(row.serial))
            if (Crc32(c.block) == stored->crc && c.header.timeUtc == stored->savedAt) copy = c;
        if (!copy) copy = Materialize(*stored);
        if (!copy) continue;
        PendingWrite w;
        w.serial = row.serial;
        w.devicePath = row.place;
        w.copy = copy->path;
        w.copyCrc = row.copyCrc;
        w.intendedCrc = row.intendedCrc;
        w.timeUtc = row.begunAt;
        w.historyId = row.id;
        w.computer = row.origin.computer;
        found.push_back(std::move(w));
    }
    return found;
}

std::optional<PendingWrite> BackupStore::PendingFor(const std::string& serial,
                                                    const std::string& devicePath,
                                                    bool serialReadable) const {
    for (PendingWrite& w : PendingWrites()) {
        // A board that reads another serial number is another board, wherever it is plugged in.
        if (serialReadable ? w.serial == serial : w.devicePath == devicePath) return w;
    }
    return std::nullopt;
}

std::vector<BlockBackup> BackupStore::FileCopies(const std::string& serial) const {
    std::vector<BlockBackup> found;
    std::error_code ec;
    if (folder_.empty() || !fs::is_directory(folder_, ec)) return found;
    for (const auto& entry : fs::directory_iterator(folder_, ec)) {
        if (entry.path().extension() != kBackupExtension) continue;
        std::string error;
        auto backup = ReadBackupFile(entry.path(), error);
        if (backup && (serial.empty() || backup->header.serial == serial))
            found.push_back(std::move(*backup));
    }
    // Copies made within one second differ only in their files' times.
    const auto written = [](const BlockBackup& b) {
        std::error_code ignored;
        return fs::last_write_time(b.path, ignored);
    };
    std::sort(found.begin(), found.end(), [&](const BlockBackup& a, const BlockBackup& b) {
        if (a.header.timeUtc != b.header.timeUtc) return a.header.timeUtc > b.header.timeUtc;
        return written(a) > written(b);
    });
    return found;
}

std::vector<BlockBackup> BackupStore::List(const std::string& serial) const {
    std::vector<BlockBackup> found = FileCopies(serial);
    if (history_ == nullptr) return found;
    std::string error;
    // A look for one board finds all of its copies; a look at every board the newest few.
    std::vector<history::StoredCopy> stored = history_->Copies(serial, error, false);
    if (serial.empty() && stored.size() > 20) stored.resize(20);
    bool added = false;
    for (const history::StoredCopy& row : stored) {
        const auto same = std::find_if(found.begin(), found.end(), [&](const BlockBackup& b) {
            return b.header.serial == row.serial && b.header.crc == row.crc &&
                   b.header.timeUtc == row.savedAt;
        });
        if (same != found.end()) {
            historyIds_[same->path] = row.id;
            continue;
        }
        if (const auto whole = history_->Copy(row.id, error))
            if (auto copy = Materialize(*whole)) {
                found.push_back(std::move(*copy));
                added = true;
            }
    }
    if (added)
        std::sort(found.begin(), found.end(), [](const BlockBackup& a, const BlockBackup& b) {
            return a.header.timeUtc > b.header.timeUtc;
        });
    return found;
}

std::string UtcTimeText(std::time_t t) {
    return UtcText(t, false);
}

std::string DescribeBackup(const BlockBackup& backup) {
    const BackupHeader& h = backup.header;
    return "File     : " + backup.path.string() + "\n" + "Serial   : " + h.serial + "\n" +
           "Product  : " + h.product + "\n" + "Customer : " + h.customer + "\n" +
           "Saved    : " + h.timeUtc + " by " + h.tool + "\n" + "Device   : " + h.devicePath +
           "\n" + "CRC-32   : " + HexCrc(h.crc) + "\n";
}

std::string BackupSummaryLine(const BlockBackup& backup) {
    const BackupHeader& h = backup.header;
    return h.timeUtc + "  " + h.serial + "  " + h.product +
           (h.customer.empty() ? "" : " (" + h.customer + ")") + "  " + backup.path.string();
}

} // namespace flashwell::app
