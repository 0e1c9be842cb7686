#include "platform/session/recording_os_port.h"

#include "platform/session/session_calls.h"

#include <cstring>

namespace flashwell::platform::session {

using namespace detail;

std::unique_ptr<RecordingOsPort> RecordingOsPort::Create(OsPort& inner, const std::string& path,
                                                         const std::string& origin,
                                                         std::string& error) {
    Header header;
    header.origin = origin;
    auto writer = SessionWriter::Create(path, header, error);
    if (!writer) return nullptr;
    return std::unique_ptr<RecordingOsPort>(new RecordingOsPort(inner, std::move(writer)));
}

RecordingOsPort::RecordingOsPort(OsPort& inner, std::unique_ptr<SessionWriter> writer)
    : ForwardingOsPort(inner), writer_(std::move(writer)),
      start_(std::chrono::steady_clock::now()) {}

RecordingOsPort::~RecordingOsPort() {
    Finish();
}

void RecordingOsPort::Finish() {
    writer_->Finish(
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now() - start_)
                                       .count()));
}

void RecordingOsPort::Write(CallKind kind, Part request, Part answer) {
    Record record;
    record.kind = kind;
    record.timeMs =
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now() - start_)
                                       .count());
    record.request = std::move(request);
    record.answer = std::move(answer);
    writer_->Append(record);
    ++calls_;
}

void RecordingOsPort::RecordMessage(MessageKind kind, const std::string& title,
                                    const std::string& text, MessageButtons buttons,
                                    MessageAnswer answer) {
    Write(CallKind::MessageBox,
          {{static_cast<std::uint64_t>(kind), static_cast<std::uint64_t>(buttons)},
           {Bytes(title.begin(), title.end()), Bytes(text.begin(), text.end())}},
          {{static_cast<std::uint64_t>(answer)}, {}});
}

void RecordingOsPort::RecordSubIdChoice(int revisionChoice) {
    // -1 (cancelled) is stored as 0, revisions 0 to 2 as 1 to 3.
    Write(CallKind::SubIdDialog, {}, {{static_cast<std::uint64_t>(revisionChoice + 1)}, {}});
}

void RecordingOsPort::RecordLogLine(const std::string& line) {
    Write(CallKind::LogLine, {{}, {Bytes(line.begin(), line.end())}}, {});
}

DWORD RecordingOsPort::GetSystemDirectoryA(char* buffer, DWORD size) {
    const DWORD result = Inner().GetSystemDirectoryA(buffer, size);
    const DWORD error = Inner().GetLastError();
    Bytes text;
    if (buffer != nullptr && size > 0) text = Raw(buffer, strnlen(buffer, size));
    Write(CallKind::GetSystemDirectoryA, {{size, buffer != nullptr}, {}},
          {{result, error}, {std::move(text)}});
    return result;
}

HMODULE RecordingOsPort::LoadLibraryA(const char* fileName) {
    const HMODULE module = Inner().LoadLibraryA(fileName);
    Write(CallKind::LoadLibraryA, {{}, {Text(fileName)}}, {{module, Inner().GetLastError()}, {}});
    return module;
}

ProcAddress RecordingOsPort::GetProcAddress(HMODULE module, const char* name) {
    const ProcAddress entry = Inner().GetProcAddress(module, name);
    Write(CallKind::GetProcAddress, {{module}, {Text(name)}},
          {{entry, Inner().GetLastError()}, {}});
    return entry;
}

BOOL RecordingOsPort::FreeLibrary(HMODULE module) {
    const BOOL result = Inner().FreeLibrary(module);
    Write(CallKind::FreeLibrary, {{module}, {}},
          {{static_cast<std::uint32_t>(result), Inner().GetLastError()}, {}});
    return result;
}

HANDLE RecordingOsPort::CreateFileA(const char* fileName, DWORD access, DWORD shareMode,
                                    DWORD creationDisposition, DWORD flagsAndAttributes) {
    const HANDLE handle =
        Inner().CreateFileA(fileName, access, shareMode, creationDisposition, flagsAndAttributes);
    Write(CallKind::CreateFileA,
          {{access, shareMode, creationDisposition, flagsAndAttributes}, {Text(fileName)}},
          {{static_cast<std::uint64_t>(handle), Inner().GetLastError()}, {}});
    return handle;
}

BOOL RecordingOsPort::CloseHandle(HANDLE handle) {
    const BOOL result = Inner().CloseHandle(handle);
    Write(CallKind::CloseHandle, {{handle}, {}},
          {{static_cast<std::uint32_t>(result), Inner().GetLastError()}, {}});
    return result;
}

BOOL RecordingOsPort::DeviceIoControl(HANDLE device, DWORD code, void* inBuffer, DWORD inSize,
                                      void* outBuffer, DWORD outSize, DWORD* bytesReturned) {
    auto* out = static_cast<std::uint8_t*>(outBuffer);
    const std::size_t outBytes = out != nullptr ? outSize : 0;
    scratch_.assign(out, out + outBytes);
    const BOOL result =
        Inner().DeviceIoControl(device, code, inBuffer, inSize, outBuffer, outSize, bytesReturned);
    const DWORD error = Inner().GetLastError();

    Part request{{device, code, inSize, outSize,
                  (inBuffer != nullptr ? 1u : 0u) | (outBuffer != nullptr ? 2u : 0u) |
                      (bytesReturned != nullptr ? 4u : 0u)},
                 {Raw(inBuffer, inSize), {}}};
    if ((code & kMethodMask) == kMethodInDirect) request.blobs[1] = scratch_;
    Part answer{{static_cast<std::uint32_t>(result), bytesReturned != nullptr ? *bytesReturned : 0u,
                 error, 0},
                {{}}};
    if (outBytes > 0)
        answer.numbers[3] = ChangedRange(scratch_.data(), out, outBytes, answer.blobs[0]);
    Write(CallKind::DeviceIoControl, std::move(request), std::move(answer));
    return result;
}

void RecordingOsPort::OutputDebugStringA(const char* text) {
    Inner().OutputDebugStringA(text);
    Write(CallKind::OutputDebugStringA, {{}, {Text(text)}}, {});
}

void RecordingOsPort::Sleep(DWORD milliseconds) {
    Inner().Sleep(milliseconds);
    Write(CallKind::Sleep, {{milliseconds}, {}}, {});
}

LocalTime RecordingOsPort::GetLocalTime() {
    const LocalTime t = Inner().GetLocalTime();
    Write(CallKind::GetLocalTime, {},
          {{t.Year, t.Month, t.DayOfWeek, t.Day, t.Hour, t.Minute, t.Second, t.Milliseconds}, {}});
    return t;
}

HDEVINFO RecordingOsPort::SetupDiGetClassDevsA(ProcAddress entry, const GUID* classGuid,
                                               const char* enumerator, DWORD flags) {
    const HDEVINFO set = Inner().SetupDiGetClassDevsA(entry, classGuid, enumerator, flags);
    Write(CallKind::SetupDiGetClassDevsA,
          {{entry, flags, classGuid != nullptr, enumerator != nullptr},
           {GuidBytes(classGuid), Text(enumerator)}},
          {{static_cast<std::uint64_t>(set), Inner().GetLastError()}, {}});
    return set;
}

BOOL RecordingOsPort::SetupDiEnumDeviceInterfaces(ProcAddress entry, HDEVINFO set,
                                                  const GUID* interfaceClassGuid, DWORD memberIndex,
                                                  DeviceInterfaceData* data) {
    const DWORD cbSize = data != nullptr ? data->cbSize : 0;
    const BOOL result =
        Inner().SetupDiEnumDeviceInterfaces(entry, set, interfaceClassGuid, memberIndex, data);
    const DWORD error = Inner().GetLastError();
    Part answer{{static_cast<std::uint32_t>(result), error}, {}};
    if (data != nullptr) {
        answer.numbers.insert(answer.numbers.end(), {data->cbSize, data->Flags, data->Reserved});
        answer.blobs.push_back(GuidBytes(&data->InterfaceClassGuid));
    }
    Write(CallKind::SetupDiEnumDeviceInterfaces,
          {{entry, set, memberIndex, interfaceClassGuid != nullptr, data != nullptr, cbSize},
           {GuidBytes(interfaceClassGuid)}},
          std::move(answer));
    return result;
}

BOOL RecordingOsPort::SetupDiGetDeviceInterfaceDetailA(ProcAddress entry, HDEVINFO set,
                                                       DeviceInterfaceData* data, void* detail,
                                                       DWORD detailSize, DWORD* requiredSize) {
    auto* bytes = static_cast<std::uint8_t*>(detail);
    const std::size_t size = bytes != nullptr ? detailSize : 0;
    scratch_.assign(bytes, bytes + size);
    DWORD cbSize = 0;
    if (size >= 4) std::memcpy(&cbSize, bytes, 4);
    const BOOL result = Inner().SetupDiGetDeviceInterfaceDetailA(entry, set, data, detail,
                                                                 detailSize, requiredSize);
    const DWORD error = Inner().GetLastError();
    Part answer{{static_cast<std::uint32_t>(result), requiredSize != nullptr ? *requiredSize : 0u,
                 error, 0},
                {{}}};
    if (size > 0) answer.numbers[3] = ChangedRange(scratch_.data(), bytes, size, answer.blobs[0]);
    Write(CallKind::SetupDiGetDeviceInterfaceDetailA,
          {{entry, set, detailSize,
            (data != nullptr ? 1u : 0u) | (detail != nullptr ? 2u : 0u) |
                (requiredSize != nullptr ? 4u : 0u),
            cbSize},
           {data != nullptr ? GuidBytes(&data->InterfaceClassGuid) : Bytes{}}},
          std::move(answer));
    return result;
}

BOOL RecordingOsPort::SetupDiDestroyDeviceInfoList(ProcAddress entry, HDEVINFO set) {
    const BOOL result = Inner().SetupDiDestroyDeviceInfoList(entry, set);
    Write(CallKind::SetupDiDestroyDeviceInfoList, {{entry, set}, {}},
          {{static_cast<std::uint32_t>(result), Inner().GetLastError()}, {}});
    return result;
}

BOOL RecordingOsPort::GetVersionExA(ProcAddress entry, OsVersionInfo* info) {
    const DWORD sizeField = info != nullptr ? info->dwOSVersionInfoSize : 0;
    const BOOL result = Inner().GetVersionExA(entry, info);
    Write(CallKind::GetVersionExA, {{entry, info != nullptr, sizeField}, {}},
          {{static_cast<std::uint32_t>(result), Inner().GetLastError()},
           {Raw(info, info != nullptr ? sizeof *info : 0)}});
    return result;
}

} // namespace flashwell::platform::session
