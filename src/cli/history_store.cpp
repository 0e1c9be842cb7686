#include "cli/history_store.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <iostream>

namespace flashwell::cli {

namespace {

bool EmbeddedStoreMissing(const history::StoreChoice& choice, const std::string& error) {
    return choice.kind == history::StoreChoice::Kind::Sqlite &&
           error.find("winsqlite3.dll") != std::string::npos;
}

std::string Hex(std::uint32_t crc) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", crc);
    return text;
}

} // namespace

std::unique_ptr<history::History> OpenRunHistory(const Invocation& v, std::ostream& err,
                                                 int& status) {
    status = kExitSuccess;
    history::StoreChoice choice = history::ChooseStore(v.historyStore, v.dataFolder);
    if (choice.kind == history::StoreChoice::Kind::Files) return nullptr;
    std::string error;
    auto opened = history::OpenHistory(choice, error);
    if (opened) {
        // The copies an earlier version left in the folder join the history, once.
        app::BackupStore folder(v.dataFolder, "");
        folder.UseHistory(opened.get());
        std::string importError;
        folder.ImportIntoHistory(importError);
        if (!importError.empty())
            err << "flashwell: warning: " << opened->Description() << ": " << importError << "\n";
        return opened;
    }
    // Windows before 10 has no SQLite of its own: the copies' files are the history there.
    if (EmbeddedStoreMissing(choice, error)) return nullptr;
    if (choice.Shared() && v.localHistory) {
        err << "flashwell: " << error << " - this run keeps its history on this computer\n";
        history::StoreChoice local = history::ChooseStore("sqlite", v.dataFolder);
        std::string localError;
        if (auto h = history::OpenHistory(local, localError)) return h;
        if (EmbeddedStoreMissing(local, localError)) return nullptr;
        error = localError;
        choice = local;
    }
    // Nothing is written without the store that would keep its copy.
    err << "flashwell: " << error << "\n";
    if (choice.Shared())
        err << "flashwell: nothing was written; with --local-history this computer keeps the "
               "history of this run\n";
    else
        err << "flashwell: nothing was written; free space or move a damaged file aside, or "
               "run with --history-store files to keep the copies as files only\n";
    status = kExitError;
    return nullptr;
}

int PrintHistory(const Invocation& v) {
    int status = kExitSuccess;
    const auto h = OpenRunHistory(v, std::cerr, status);
    if (!h) {
        if (status == kExitSuccess) std::cerr << "flashwell: no board history is kept here\n";
        return kExitError;
    }
    std::string error;
    const std::string serial = v.historyOf.value_or("");
    nlohmann::json json;
    if (serial.empty()) {
        const auto boards = h->Boards(error);
        json["boards"] = nlohmann::json::array();
        for (const history::BoardSeen& b : boards)
            json["boards"].push_back({{"serial", b.serial},
                                      {"product", b.product},
                                      {"revision", b.revision},
                                      {"firstSeen", b.firstSeen},
                                      {"lastSeen", b.lastSeen}});
        if (!v.json) {
            std::cout << "Boards in " << h->Description() << ": " << boards.size() << "\n";
            for (const history::BoardSeen& b : boards)
                std::cout << "  " << b.serial << "  " << b.product << "  revision " << b.revision
                          << "  first seen " << b.firstSeen << ", last seen " << b.lastSeen << "\n";
        }
    } else {
        const auto runs = h->Runs(serial, error);
        const auto copies = h->Copies(serial, error, false);
        json["serial"] = serial;
        json["runs"] = nlohmann::json::array();
        for (const history::StoredRun& r : runs)
            json["runs"].push_back({{"started", r.startedAt},
                                    {"ended", r.endedAt},
                                    {"computer", r.origin.computer},
                                    {"user", r.origin.user},
                                    {"route", r.route},
                                    {"steps", r.steps},
                                    {"outcomes", r.outcomes},
                                    {"result", r.result},
                                    {"exitStatus", r.exitStatus},
                                    {"copy", r.copyId}});
        json["copies"] = nlohmann::json::array();
        for (const history::StoredCopy& c : copies)
            json["copies"].push_back({{"saved", c.savedAt},
                                      {"computer", c.origin.computer},
                                      {"user", c.origin.user},
                                      {"place", c.place},
                                      {"tool", c.tool},
                                      {"crc32", Hex(c.crc)},
                                      {"id", c.id}});
        if (!v.json) {
            std::cout << "Board " << serial << " in " << h->Description() << "\n";
            std::cout << "Runs: " << runs.size() << "\n";
            for (const history::StoredRun& r : runs)
                std::cout << "  " << r.startedAt << "  " << r.result << " (" << r.exitStatus
                          << ")  " << r.outcomes << "  on " << r.origin.computer << " by "
                          << r.origin.user << ", " << r.route << "\n";
            std::cout << "Copies of its parameter block: " << copies.size() << "\n";
            for (const history::StoredCopy& c : copies)
                std::cout << "  " << c.savedAt << "  CRC-32 " << Hex(c.crc) << "  on "
                          << c.origin.computer << " by " << c.origin.user << ", " << c.tool << "\n";
        }
    }
    if (!error.empty()) {
        std::cerr << "flashwell: " << h->Description() << ": " << error << "\n";
        return kExitError;
    }
    if (v.json)
        std::cout << json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    return kExitSuccess;
}

void ListStoredCopies(history::History& history, const app::BackupStore& files, std::ostream& out) {
    std::string error;
    const auto onDisk = files.List();
    std::vector<history::StoredCopy> elsewhere;
    for (const history::StoredCopy& c : history.Copies("", error, false))
        if (std::none_of(onDisk.begin(), onDisk.end(), [&](const app::BlockBackup& b) {
                return b.header.serial == c.serial && b.header.crc == c.crc &&
                       b.header.timeUtc == c.savedAt;
            }))
            elsewhere.push_back(c);
    out << "Copies in " << history.Description() << " and not in this folder: " << elsewhere.size()
        << "\n";
    for (const history::StoredCopy& c : elsewhere)
        out << "  " << c.savedAt << "  " << c.serial << "  " << c.product << "  saved on "
            << c.origin.computer << " (restore with --restore --board " << c.serial << ")\n";
    if (!error.empty()) out << "flashwell: " << history.Description() << ": " << error << "\n";
}

} // namespace flashwell::cli
