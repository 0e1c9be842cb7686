#include "app/durable_file.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <system_error>

#ifdef FLASHWELL_FAULT_POINTS
#include <fiu.h>
#endif

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace flashwell::app {

namespace fs = std::filesystem;

int DiskFault([[maybe_unused]] std::string_view kind, [[maybe_unused]] std::string_view call) {
#ifdef FLASHWELL_FAULT_POINTS
    const std::string point = std::string(kind) + "/" + std::string(call);
    if (fiu_fail(("flashwell/kill/" + point).c_str()) != 0) std::raise(SIGKILL);
    return fiu_fail(("flashwell/disk/" + point).c_str());
#else
    return 0;
#endif
}

namespace {

std::string Problem(const char* what, const fs::path& path, int error) {
    return std::string(what) + " " + path.string() + ": " + std::strerror(error);
}

// Runs one call unless its fault point says it fails; errno tells why either way.
template <typename Call> bool Do(std::string_view kind, const char* name, Call&& call) {
    if (const int fault = DiskFault(kind, name)) {
        errno = fault;
        return false;
    }
    return call();
}

bool SyncFolder([[maybe_unused]] const fs::path& folder) {
#ifdef _WIN32
    return true; // NTFS makes a rename durable with the file's own flush
#else
    const int fd = ::open(folder.empty() ? "." : folder.string().c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
#endif
}

} // namespace

bool WriteFileAtomically(std::string_view kind, const fs::path& path, std::string_view bytes,
                         bool sync, std::string& error) {
    fs::path temporary = path;
    temporary += ".tmp";
    std::FILE* file = nullptr;
    if (!Do(kind, "create",
            [&] { return (file = std::fopen(temporary.string().c_str(), "wb")); })) {
        error = Problem("cannot create", temporary, errno);
        return false;
    }
#ifndef _WIN32
    // Copies hold a board's calibration: its owner's alone, whatever the umask.
    ::fchmod(::fileno(file), 0600);
#endif
    bool ok = Do(kind, "write", [&] {
        return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() &&
               std::fflush(file) == 0;
    });
    int failure = ok ? 0 : errno;
    if (ok && sync) {
        ok = Do(kind, "fsync", [&] {
#ifdef _WIN32
            return _commit(_fileno(file)) == 0;
#else
            return ::fsync(::fileno(file)) == 0;
#endif
        });
        if (!ok) failure = errno;
    }
    // The file is closed whatever its fault point says, so that a faulted close leaks nothing.
    bool closed = std::fclose(file) == 0;
    if (const int fault = DiskFault(kind, "close")) {
        closed = false;
        errno = fault;
    }
    if (!closed && ok) {
        ok = false;
        failure = errno;
    }
    std::error_code ec;
    if (!ok) {
        error = Problem("cannot write", temporary, failure);
        fs::remove(temporary, ec);
        return false;
    }
    if (!Do(kind, "rename", [&] {
            fs::rename(temporary, path, ec);
            if (ec) errno = ec.value();
            return !ec;
        })) {
        error = Problem("cannot rename", temporary, errno);
        fs::remove(temporary, ec);
        return false;
    }
    // A rename is only durable once the folder itself is on the disk.
    if (sync && !Do(kind, "dirsync", [&] { return SyncFolder(path.parent_path()); })) {
        error = Problem("cannot flush the folder of", path, errno);
        // Not known to last: it must not pass for a copy that does.
        fs::remove(path, ec);
        return false;
    }
    return true;
}

bool RemoveFileDurably(std::string_view kind, const fs::path& path, bool sync, std::string& error) {
    std::error_code ec;
    if (!Do(kind, "remove", [&] {
            fs::remove(path, ec);
            if (ec) errno = ec.value();
            return !ec;
        })) {
        error = Problem("cannot remove", path, errno);
        return false;
    }
    if (sync && !Do(kind, "dirsync", [&] { return SyncFolder(path.parent_path()); })) {
        error = Problem("cannot flush the folder of", path, errno);
        return false;
    }
    return true;
}

} // namespace flashwell::app
