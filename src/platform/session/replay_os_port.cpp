#include "platform/session/replay_os_port.h"

#include "platform/session/session_calls.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace flashwell::platform::session {

using namespace detail;

namespace {

struct FieldNames {
    std::vector<const char*> numbers;
    std::vector<const char*> blobs;
    bool textBlobs = false; // names and texts: shown as text, not bytes
};

FieldNames NamesOf(CallKind kind) {
    switch (kind) {
    case CallKind::GetSystemDirectoryA:
        return {{"buffer size", "buffer given"}, {}};
    case CallKind::LoadLibraryA:
        return {{}, {"file name"}, true};
    case CallKind::GetProcAddress:
        return {{"module"}, {"name"}, true};
    case CallKind::FreeLibrary:
        return {{"module"}, {}};
    case CallKind::CreateFileA:
        return {{"access", "share mode", "creation disposition", "flags"}, {"file name"}, true};
    case CallKind::CloseHandle:
        return {{"handle"}, {}};
    case CallKind::DeviceIoControl:
        return {{"handle", "code", "input size", "output size", "buffers given"},
                {"input bytes", "output bytes sent"}};
    case CallKind::OutputDebugStringA:
        return {{}, {"text"}, true};
    case CallKind::Sleep:
        return {{"milliseconds"}, {}};
    case CallKind::SetupDiGetClassDevsA:
        return {{"entry", "flags", "class given", "enumerator given"}, {"class", "enumerator"}};
    case CallKind::SetupDiEnumDeviceInterfaces:
        return {{"entry", "set", "member index", "class given", "record given", "record size"},
                {"class"}};
    case CallKind::SetupDiGetDeviceInterfaceDetailA:
        return {{"entry", "set", "detail size", "buffers given", "detail record size"},
                {"interface class"}};
    case CallKind::SetupDiDestroyDeviceInfoList:
        return {{"entry", "set"}, {}};
    case CallKind::GetVersionExA:
        return {{"entry", "record given", "size field"}, {}};
    case CallKind::MessageBox:
        return {{"kind", "buttons"}, {"title", "text"}, true};
    default:
        return {};
    }
}

std::string NumberText(std::uint64_t n) {
    char text[48];
    if (n < 10)
        std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(n));
    else
        std::snprintf(text, sizeof text, "%llu (0x%llX)", static_cast<unsigned long long>(n),
                      static_cast<unsigned long long>(n));
    return text;
}

// Up to 8 bytes either side of `at`, the byte at `at` in brackets.
std::string HexAround(const Bytes& bytes, std::size_t at) {
    if (bytes.empty()) return "(none)";
    const std::size_t from = at > 8 ? at - 8 : 0;
    const std::size_t to = std::min(bytes.size(), at + 9);
    std::string out = from > 0 ? "... " : "";
    for (std::size_t i = from; i < to; ++i) {
        char hex[8];
        std::snprintf(hex, sizeof hex, i == at ? "[%02X]" : "%02X", bytes[i]);
        out += hex;
        if (i + 1 < to) out += ' ';
    }
    if (at >= bytes.size()) out += " [end]";
    if (to < bytes.size()) out += " ...";
    return out;
}

std::string Quoted(const Bytes& bytes) {
    std::string out = "\"";
    for (std::uint8_t b : bytes) {
        if (b >= 0x20 && b != '"' && b != '\\' && b < 0x7F) {
            out += static_cast<char>(b);
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", b);
            out += esc;
        }
    }
    return out + "\"";
}

std::string Difference(CallKind kind, const Part& recorded, const Part& program) {
    const FieldNames names = NamesOf(kind);
    const auto name = [](const std::vector<const char*>& list, std::size_t i) {
        return i < list.size() ? std::string(list[i]) : "field " + std::to_string(i + 1);
    };
    const std::size_t numbers = std::max(recorded.numbers.size(), program.numbers.size());
    for (std::size_t i = 0; i < numbers; ++i) {
        const bool inRecord = i < recorded.numbers.size(), inProgram = i < program.numbers.size();
        if (inRecord && inProgram && recorded.numbers[i] == program.numbers[i]) continue;
        return name(names.numbers, i) + ": recorded " +
               (inRecord ? NumberText(recorded.numbers[i]) : "nothing") + ", program " +
               (inProgram ? NumberText(program.numbers[i]) : "nothing");
    }
    const std::size_t blobs = std::max(recorded.blobs.size(), program.blobs.size());
    for (std::size_t i = 0; i < blobs; ++i) {
        static const Bytes kNone;
        const Bytes& r = i < recorded.blobs.size() ? recorded.blobs[i] : kNone;
        const Bytes& p = i < program.blobs.size() ? program.blobs[i] : kNone;
        if (r == p) continue;
        if (names.textBlobs)
            return name(names.blobs, i) + ": recorded " + Quoted(r) + ", program " + Quoted(p);
        std::size_t at = 0;
        while (at < r.size() && at < p.size() && r[at] == p[at])
            ++at;
        return name(names.blobs, i) + " differ at byte " + std::to_string(at) + " (recorded " +
               std::to_string(r.size()) + " bytes, program " + std::to_string(p.size()) +
               " bytes): recorded " + HexAround(r, at) + ", program " + HexAround(p, at);
    }
    return "no difference";
}

} // namespace

ReplayOsPort::ReplayOsPort(SessionContents session) : session_(std::move(session)) {}

std::unique_ptr<ReplayOsPort> ReplayOsPort::Load(const std::string& path, std::string& error) {
    auto contents = LoadSession(path, error);
    if (!contents) return nullptr;
    return std::make_unique<ReplayOsPort>(std::move(*contents));
}

void ReplayOsPort::Fail(const std::string& what) {
    if (Diverged()) return;
    message_ = "replay stopped at call " + std::to_string(next_ + 1) + " of " +
               std::to_string(session_.records.size()) + ": " + what +
               "; the program's log had reached " +
               (lastLog_.empty() ? std::string("no line yet") : "\"" + lastLog_ + "\"");
    if (!lastDebug_.empty()) message_ += "; last debug line \"" + lastDebug_ + "\"";
    if (onDivergence_) onDivergence_(message_);
}

const Record* ReplayOsPort::Serve(CallKind kind, const Part& request) {
    if (Diverged()) {
        lastError_ = kErrorDeviceNotConnected;
        return nullptr;
    }
    while (next_ < session_.records.size() && session_.records[next_].kind == CallKind::LogLine)
        ++next_;
    if (next_ >= session_.records.size()) {
        Fail(std::string("the program calls ") + KindName(kind) + " but " +
             (session_.complete ? "the recorded run had ended here" : session_.stop));
        lastError_ = kErrorDeviceNotConnected;
        return nullptr;
    }
    const Record& recorded = session_.records[next_];
    if (recorded.kind != kind) {
        Fail(std::string("the program calls ") + KindName(kind) + ", the recording has " +
             KindName(recorded.kind));
        lastError_ = kErrorDeviceNotConnected;
        return nullptr;
    }
    Part expected = recorded.request;
    Part asked = request;
    // Record sizes that follow the pointer size cannot match across 32 and 64 bits.
    if (session_.header.pointerSize != sizeof(void*)) {
        const std::size_t skip = kind == CallKind::SetupDiEnumDeviceInterfaces ? kEnumCbSizeField
                                 : kind == CallKind::SetupDiGetDeviceInterfaceDetailA
                                     ? kDetailCbSizeField
                                     : SIZE_MAX;
        if (skip < expected.numbers.size()) expected.numbers[skip] = 0;
        if (skip < asked.numbers.size()) asked.numbers[skip] = 0;
    }
    if (!(expected == asked)) {
        std::string what = std::string(KindName(kind));
        if (kind == CallKind::DeviceIoControl && recorded.request.numbers.size() > 1)
            what += " " + NumberText(recorded.request.numbers[1]);
        Fail(what + " differs from the recording: " + Difference(kind, expected, asked));
        lastError_ = kErrorDeviceNotConnected;
        return nullptr;
    }
    ++next_;
    return &recorded;
}

std::uint64_t ReplayOsPort::Number(const Part& part, std::size_t index) const {
    return index < part.numbers.size() ? part.numbers[index] : 0;
}

const Bytes& ReplayOsPort::Blob(const Part& part, std::size_t index) const {
    static const Bytes kNone;
    return index < part.blobs.size() ? part.blobs[index] : kNone;
}

void ReplayOsPort::TakeError(const Record& record, std::size_t field) {
    lastError_ = static_cast<DWORD>(Number(record.answer, field));
}

void ReplayOsPort::CheckFinished() {
    while (next_ < session_.records.size() && session_.records[next_].kind == CallKind::LogLine)
        ++next_;
    if (Diverged() || next_ >= session_.records.size()) return;
    Fail(std::string("the program has ended, the recording goes on with ") +
         KindName(session_.records[next_].kind));
}

MessageAnswer ReplayOsPort::NextMessageAnswer(MessageKind kind, const std::string& title,
                                              const std::string& text, MessageButtons buttons) {
    const Record* r =
        Serve(CallKind::MessageBox,
              {{static_cast<std::uint64_t>(kind), static_cast<std::uint64_t>(buttons)},
               {Bytes(title.begin(), title.end()), Bytes(text.begin(), text.end())}});
    if (r == nullptr) return MessageAnswer::Closed;
    const std::uint64_t answer = Number(r->answer, 0);
    return answer <= static_cast<std::uint64_t>(MessageAnswer::Closed)
               ? static_cast<MessageAnswer>(answer)
               : MessageAnswer::Closed;
}

int ReplayOsPort::NextSubIdChoice() {
    const Record* r = Serve(CallKind::SubIdDialog, {});
    if (r == nullptr) return -1;
    const std::uint64_t choice = Number(r->answer, 0);
    return choice >= 1 && choice <= 3 ? static_cast<int>(choice) - 1 : -1;
}

DWORD ReplayOsPort::GetSystemDirectoryA(char* buffer, DWORD size) {
    const Record* r = Serve(CallKind::GetSystemDirectoryA, {{size, buffer != nullptr}, {}});
    if (r == nullptr) return 0;
    const Bytes& text = Blob(r->answer, 0);
    if (buffer != nullptr && size > 0) {
        const std::size_t n = std::min<std::size_t>(text.size(), size - 1);
        std::copy_n(text.begin(), n, buffer);
        buffer[n] = '\0';
    }
    TakeError(*r, 1);
    return static_cast<DWORD>(Number(r->answer, 0));
}

HMODULE ReplayOsPort::LoadLibraryA(const char* fileName) {
    const Record* r = Serve(CallKind::LoadLibraryA, {{}, {Text(fileName)}});
    if (r == nullptr) return 0;
    TakeError(*r, 1);
    return static_cast<HMODULE>(Number(r->answer, 0));
}

ProcAddress ReplayOsPort::GetProcAddress(HMODULE module, const char* name) {
    const Record* r = Serve(CallKind::GetProcAddress, {{module}, {Text(name)}});
    if (r == nullptr) return 0;
    TakeError(*r, 1);
    return static_cast<ProcAddress>(Number(r->answer, 0));
}

BOOL ReplayOsPort::FreeLibrary(HMODULE module) {
    const Record* r = Serve(CallKind::FreeLibrary, {{module}, {}});
    if (r == nullptr) return 0;
    TakeError(*r, 1);
    return static_cast<BOOL>(Number(r->answer, 0));
}

HANDLE ReplayOsPort::CreateFileA(const char* fileName, DWORD access, DWORD shareMode,
                                 DWORD creationDisposition, DWORD flagsAndAttributes) {
    const Record* r =
        Serve(CallKind::CreateFileA,
              {{access, shareMode, creationDisposition, flagsAndAttributes}, {Text(fileName)}});
    if (r == nullptr) return kInvalidHandleValue;
    TakeError(*r, 1);
    return static_cast<HANDLE>(Number(r->answer, 0));
}

BOOL ReplayOsPort::CloseHandle(HANDLE handle) {
    const Record* r = Serve(CallKind::CloseHandle, {{handle}, {}});
    if (r == nullptr) return 0;
    TakeError(*r, 1);
    return static_cast<BOOL>(Number(r->answer, 0));
}

BOOL ReplayOsPort::DeviceIoControl(HANDLE device, DWORD code, void* inBuffer, DWORD inSize,
                                   void* outBuffer, DWORD outSize, DWORD* bytesReturned) {
    auto* out = static_cast<std::uint8_t*>(outBuffer);
    Part request{{device, code, inSize, outSize,
                  (inBuffer != nullptr ? 1u : 0u) | (outBuffer != nullptr ? 2u : 0u) |
                      (bytesReturned != nullptr ? 4u : 0u)},
                 {Raw(inBuffer, inSize), {}}};
    if ((code & kMethodMask) == kMethodInDirect) request.blobs[1] = Raw(outBuffer, outSize);
    const Record* r = Serve(CallKind::DeviceIoControl, request);
    if (bytesReturned != nullptr) *bytesReturned = 0;
    if (r == nullptr) return 0;
    const std::uint64_t offset = Number(r->answer, 3);
    const Bytes& changed = Blob(r->answer, 0);
    if (!changed.empty()) {
        if (out == nullptr || offset > outSize || changed.size() > outSize - offset) {
            --next_;
            Fail("the recorded answer of DeviceIoControl does not fit its output buffer (the "
                 "session is damaged)");
            lastError_ = kErrorDeviceNotConnected;
            return 0;
        }
        std::copy(changed.begin(), changed.end(), out + offset);
    }
    if (bytesReturned != nullptr) *bytesReturned = static_cast<DWORD>(Number(r->answer, 1));
    TakeError(*r, 2);
    return static_cast<BOOL>(Number(r->answer, 0));
}

void ReplayOsPort::OutputDebugStringA(const char* text) {
    if (Serve(CallKind::OutputDebugStringA, {{}, {Text(text)}}) != nullptr)
        lastDebug_ = text != nullptr ? text : "";
}

void ReplayOsPort::Sleep(DWORD milliseconds) {
    // The recorded pause has passed already; only its length is checked.
    Serve(CallKind::Sleep, {{milliseconds}, {}});
}

LocalTime ReplayOsPort::GetLocalTime() {
    const Record* r = Serve(CallKind::GetLocalTime, {});
    if (r == nullptr) return lastTime_;
    std::uint16_t f[8];
    for (std::size_t i = 0; i < 8; ++i)
        f[i] = static_cast<std::uint16_t>(Number(r->answer, i));
    lastTime_ = {f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7]};
    return lastTime_;
}

HDEVINFO ReplayOsPort::SetupDiGetClassDevsA(ProcAddress entry, const GUID* classGuid,
                                            const char* enumerator, DWORD flags) {
    const Record* r = Serve(CallKind::SetupDiGetClassDevsA,
                            {{entry, flags, classGuid != nullptr, enumerator != nullptr},
                             {GuidBytes(classGuid), Text(enumerator)}});
    if (r == nullptr) return kInvalidDevInfo;
    TakeError(*r, 1);
    return static_cast<HDEVINFO>(Number(r->answer, 0));
}

BOOL ReplayOsPort::SetupDiEnumDeviceInterfaces(ProcAddress entry, HDEVINFO set,
                                               const GUID* interfaceClassGuid, DWORD memberIndex,
                                               DeviceInterfaceData* data) {
    const Record* r = Serve(CallKind::SetupDiEnumDeviceInterfaces,
                            {{entry, set, memberIndex, interfaceClassGuid != nullptr,
                              data != nullptr, data != nullptr ? data->cbSize : 0u},
                             {GuidBytes(interfaceClassGuid)}});
    if (r == nullptr) return 0;
    if (data != nullptr && r->answer.numbers.size() >= 5) {
        // The size field stays the program's own: it follows the program's pointer size.
        data->Flags = static_cast<DWORD>(Number(r->answer, 3));
        data->Reserved = static_cast<std::uintptr_t>(Number(r->answer, 4));
        GuidFromBytes(Blob(r->answer, 0), data->InterfaceClassGuid);
    }
    TakeError(*r, 1);
    return static_cast<BOOL>(Number(r->answer, 0));
}

BOOL ReplayOsPort::SetupDiGetDeviceInterfaceDetailA(ProcAddress entry, HDEVINFO set,
                                                    DeviceInterfaceData* data, void* detail,
                                                    DWORD detailSize, DWORD* requiredSize) {
    auto* bytes = static_cast<std::uint8_t*>(detail);
    DWORD cbSize = 0;
    if (bytes != nullptr && detailSize >= 4) std::memcpy(&cbSize, bytes, 4);
    const Record* r = Serve(CallKind::SetupDiGetDeviceInterfaceDetailA,
                            {{entry, set, detailSize,
                              (data != nullptr ? 1u : 0u) | (detail != nullptr ? 2u : 0u) |
                                  (requiredSize != nullptr ? 4u : 0u),
                              cbSize},
                             {data != nullptr ? GuidBytes(&data->InterfaceClassGuid) : Bytes{}}});
    if (r == nullptr) return 0;
    const std::uint64_t offset = Number(r->answer, 3);
    const Bytes& changed = Blob(r->answer, 0);
    if (!changed.empty() && bytes != nullptr && offset <= detailSize &&
        changed.size() <= detailSize - offset)
        std::copy(changed.begin(), changed.end(), bytes + offset);
    if (requiredSize != nullptr) *requiredSize = static_cast<DWORD>(Number(r->answer, 1));
    TakeError(*r, 2);
    return static_cast<BOOL>(Number(r->answer, 0));
}

BOOL ReplayOsPort::SetupDiDestroyDeviceInfoList(ProcAddress entry, HDEVINFO set) {
    const Record* r = Serve(CallKind::SetupDiDestroyDeviceInfoList, {{entry, set}, {}});
    if (r == nullptr) return 0;
    TakeError(*r, 1);
    return static_cast<BOOL>(Number(r->answer, 0));
}

BOOL ReplayOsPort::GetVersionExA(ProcAddress entry, OsVersionInfo* info) {
    const Record* r =
        Serve(CallKind::GetVersionExA,
              {{entry, info != nullptr, info != nullptr ? info->dwOSVersionInfoSize : 0u}, {}});
    if (r == nullptr) return 0;
    const Bytes& bytes = Blob(r->answer, 0);
    if (info != nullptr && bytes.size() == sizeof *info)
        std::memcpy(info, bytes.data(), sizeof *info);
    TakeError(*r, 1);
    return static_cast<BOOL>(Number(r->answer, 0));
}

} // namespace flashwell::platform::session
