// Files the program keeps for the user (parameter-block copies, the record of a block being
// written) are written whole or not at all: a temporary file, written, flushed to the disk,
// renamed into place, the folder flushed too. Each of those calls is a named fault point, so that
// the real binary can be made to fail at any one of them from outside, under libfiu's fiu-run:
//
//   fiu-run -f '' -c 'enable name=flashwell/disk/copy/fsync,failnum=5' flashwell ...
//
// fails the fsync of a parameter-block copy with EIO (failnum is the errno);
// "flashwell/kill/copy/rename" kills the process just before that rename. Kinds: copy, record,
// log; calls: create, write, fsync, close, rename, dirsync, remove, and corrupt-read (the copy
// reads back with its last byte changed). Without libfiu at build time the points are no-ops.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace flashwell::app {

// Non-zero (an errno value) when the fault point of this name is enabled; kills the process
// first when "flashwell/disk/kill/<call>" is.
int DiskFault(std::string_view kind, std::string_view call);

// Writes `bytes` to `path` through a temporary file and a rename. `sync`: flushed to the disk
// (file and folder) before it returns true. On failure `error` names the file and the error, no
// temporary file is left, and `path` is as it was.
bool WriteFileAtomically(std::string_view kind, const std::filesystem::path& path,
                         std::string_view bytes, bool sync, std::string& error);

// Removes a file and, with `sync`, flushes the folder so that the removal lasts.
bool RemoveFileDurably(std::string_view kind, const std::filesystem::path& path, bool sync,
                       std::string& error);

} // namespace flashwell::app
