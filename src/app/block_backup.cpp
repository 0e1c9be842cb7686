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

std::optional<fs::path> BackupStore::Save(const boarddata::FlashDataBlock& block,
                                          const std::string& devicePath, std::string& error) {
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
    boarddata::FlashDataRecord record;
    boarddata::UnpackFlashData(block, record);
    BackupHeader h;
    h.serial = record.SerialNumber;
    h.product = record.ProductName;
    h.customer = record.Customer;
    h.devicePath = devicePath;
    h.tool = tool_;
    const std::time_t now = now_();
    h.timeUtc = UtcText(now, false);
    h.crc = Crc32(block);

    // Never replace an earlier copy: two saves in one second get distinct names.
    const std::string stem = FileNamePart(h.serial) + "_" + UtcText(now, true);
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
    return w;
}

bool BackupStore::EndWrite(const PendingWrite& write, std::string& error) {
    return RemoveFileDurably("record", write.file, durability_ == Durability::Synced, error);
}

std::vector<PendingWrite> BackupStore::PendingWrites() const {
    std::vector<PendingWrite> found;
    std::error_code ec;
    if (folder_.empty() || !fs::is_directory(folder_, ec)) return found;
    for (const auto& entry : fs::directory_iterator(folder_, ec))
        if (entry.path().extension() == kWriteRecordExtension)
            if (auto w = ReadWriteRecord(entry.path())) found.push_back(std::move(*w));
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

std::vector<BlockBackup> BackupStore::List(const std::string& serial) const {
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
