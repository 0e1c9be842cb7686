// Session files: what the program asked of Windows and what Windows answered, call by call, so
// that a run on a real board can be replayed anywhere. The byte format is described in
// docs/sessions.md; this header is its only reader and writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace flashwell::platform::session {

inline constexpr char kMagic[8] = {'F', 'W', 'S', 'E', 'S', 'S', 'N', '\n'};
inline constexpr std::uint32_t kFormatVersion = 1;

// The kind byte of a record. Values are part of the file format: never renumber.
enum class CallKind : std::uint8_t {
    End = 0, // written when the recording ends normally
    GetSystemDirectoryA = 1,
    LoadLibraryA = 2,
    GetProcAddress = 3,
    FreeLibrary = 4,
    CreateFileA = 5,
    CloseHandle = 6,
    DeviceIoControl = 7,
    OutputDebugStringA = 8,
    Sleep = 9,
    GetLocalTime = 10,
    SetupDiGetClassDevsA = 11,
    SetupDiEnumDeviceInterfaces = 12,
    SetupDiGetDeviceInterfaceDetailA = 13,
    SetupDiDestroyDeviceInfoList = 14,
    GetVersionExA = 15,
    MessageBox = 16,  // a message box of the program and the user's answer
    SubIdDialog = 17, // the revision dialog and the user's choice
    LogLine = 18,     // a line of the program's log: a landmark, not a call
};
inline constexpr std::uint8_t kLastKind = 18;

const char* KindName(CallKind kind);

using Bytes = std::vector<std::uint8_t>;

// What one side of a call carries: numbers (arguments or results) and byte strings (buffers,
// names, texts). Which field means what is fixed per kind (docs/sessions.md).
struct Part {
    std::vector<std::uint64_t> numbers;
    std::vector<Bytes> blobs;
    bool operator==(const Part&) const = default;
};

struct Record {
    CallKind kind = CallKind::End;
    // Milliseconds of the recording machine's monotonic clock since the recording started.
    std::uint64_t timeMs = 0;
    Part request;
    Part answer;
};

struct Header {
    std::uint32_t version = kFormatVersion;
    // sizeof(void*) of the recording program: some Windows records differ in size with it.
    std::uint32_t pointerSize = sizeof(void*);
    // Free text: program version and machine (native Windows, USB backend, simulation).
    std::string origin;
};

// Limits that keep a damaged file from asking for absurd amounts of memory.
inline constexpr std::size_t kMaxNumbers = 16;
inline constexpr std::size_t kMaxBlobs = 8;
inline constexpr std::size_t kMaxBlobSize = 1u << 20;
inline constexpr std::size_t kMaxOriginSize = 4096;
// Recently seen requests and answers that a record can refer to instead of repeating them.
inline constexpr std::size_t kCacheSize = 64;

// The recently-used lists both sides keep in step: a part referred to moves to the front of
// its list, a part written out in full is put there.
class PartCache {
public:
    // Index of an equal part, if present.
    std::optional<std::size_t> Find(CallKind kind, const Part& part) const;
    // Index of a part of this kind with the same numbers and blob count, if present.
    std::optional<std::size_t> FindShape(CallKind kind, const Part& part) const;
    const Part* At(CallKind kind, std::size_t index) const;
    void MoveToFront(CallKind kind, std::size_t index);
    void Insert(CallKind kind, const Part& part);

private:
    struct Entry {
        std::uint64_t hash;  // of the whole part
        std::uint64_t shape; // of its numbers and blob count
        Part part;
    };
    std::vector<Entry> entries_[kLastKind + 1];
};

// Appends records to a file, each written out and flushed before the call returns, so that a
// crash or power loss leaves every call before it readable.
class SessionWriter {
public:
    static std::unique_ptr<SessionWriter> Create(const std::string& path, const Header& header,
                                                 std::string& error);
    ~SessionWriter();
    SessionWriter(const SessionWriter&) = delete;
    SessionWriter& operator=(const SessionWriter&) = delete;

    void Append(const Record& record);
    // Writes the end record and closes the file.
    void Finish(std::uint64_t timeMs);
    // False once a write failed (disk full, file removed); later records are dropped.
    bool Healthy() const { return healthy_; }
    std::uint64_t BytesWritten() const { return written_; }

private:
    explicit SessionWriter(std::FILE* file) : file_(file) {}
    void Write(const Bytes& bytes);

    std::FILE* file_;
    PartCache requests_;
    PartCache answers_;
    std::uint64_t lastTime_ = 0;
    std::uint64_t written_ = 0;
    bool healthy_ = true;
};

// Encodes one record as the writer does, for writers into memory (tests, fuzz seeds).
Bytes EncodeHeader(const Header& header);

struct SessionContents {
    Header header;
    std::vector<Record> records; // without the end record
    bool complete = false;       // the end record was found
    std::uint64_t endTimeMs = 0; // time stamp of the end record
    // Why reading stopped before an end record: a cut (the file ends inside a record or
    // between records) or damage; empty when complete.
    std::string stop;
};

// Reads a whole session from memory. Nullopt (with the reason) when even the header is
// unreadable; a cut or damaged tail keeps the records before it.
std::optional<SessionContents> ParseSession(std::span<const std::uint8_t> bytes,
                                            std::string& error);
std::optional<SessionContents> LoadSession(const std::string& path, std::string& error);

// Encodes a session held in memory, byte for byte as the writer would have written it.
Bytes EncodeSession(const SessionContents& contents);

} // namespace flashwell::platform::session
