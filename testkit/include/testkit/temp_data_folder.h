// A data folder of the test's own, so that no test ever writes into the user's: made unique
// per process and object, removed with everything in it at the end.
#pragma once

#include "app/block_backup.h"

#include <atomic>
#include <filesystem>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <process.h>
#define FLASHWELL_GETPID _getpid
#else
#include <unistd.h>
#define FLASHWELL_GETPID ::getpid
#endif

namespace flashwell::testing {

class TempDataFolder {
public:
    TempDataFolder() {
        static std::atomic<unsigned> serial{0};
        path_ = std::filesystem::temp_directory_path() /
                ("flashwell-data-" + std::to_string(FLASHWELL_GETPID()) + "-" +
                 std::to_string(serial++));
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
        std::filesystem::create_directories(path_, ec);
    }
    ~TempDataFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDataFolder(const TempDataFolder&) = delete;
    TempDataFolder& operator=(const TempDataFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A backup store in a folder of its own, thrown away at the end: nothing needs to reach the
// disk itself (the durable path is tested on its own).
struct TempBackups {
    TempDataFolder folder;
    app::BackupStore store{
        folder.Path(), "flashwell test", {}, app::BackupStore::Durability::CacheOnly};
};

} // namespace flashwell::testing

#undef FLASHWELL_GETPID
