// An OS port that passes every call on and writes it, with its answer, to a session file.
#pragma once

#include "platform/forwarding_os_port.h"
#include "platform/session/session_format.h"
#include "platform/ui_port.h"

#include <chrono>
#include <memory>
#include <string>

namespace flashwell::platform::session {

class RecordingOsPort final : public ForwardingOsPort {
public:
    // Nullptr (with the reason) when the file cannot be created.
    static std::unique_ptr<RecordingOsPort> Create(OsPort& inner, const std::string& path,
                                                   const std::string& origin, std::string& error);
    ~RecordingOsPort() override;

    // The user interface's side of the run, so that a replay needs no questions.
    void RecordMessage(MessageKind kind, const std::string& title, const std::string& text,
                       MessageButtons buttons, MessageAnswer answer);
    void RecordSubIdChoice(int revisionChoice);
    void RecordLogLine(const std::string& line);

    // Writes the end mark; the destructor does it too.
    void Finish();
    bool Healthy() const { return writer_->Healthy(); }
    std::uint64_t BytesWritten() const { return writer_->BytesWritten(); }
    std::uint64_t Calls() const { return calls_; }

    DWORD GetSystemDirectoryA(char* buffer, DWORD size) override;
    HMODULE LoadLibraryA(const char* fileName) override;
    ProcAddress GetProcAddress(HMODULE module, const char* name) override;
    BOOL FreeLibrary(HMODULE module) override;
    HANDLE CreateFileA(const char* fileName, DWORD access, DWORD shareMode,
                       DWORD creationDisposition, DWORD flagsAndAttributes) override;
    BOOL CloseHandle(HANDLE handle) override;
    BOOL DeviceIoControl(HANDLE device, DWORD code, void* inBuffer, DWORD inSize, void* outBuffer,
                         DWORD outSize, DWORD* bytesReturned) override;
    void OutputDebugStringA(const char* text) override;
    void Sleep(DWORD milliseconds) override;
    LocalTime GetLocalTime() override;
    HDEVINFO SetupDiGetClassDevsA(ProcAddress entry, const GUID* classGuid, const char* enumerator,
                                  DWORD flags) override;
    BOOL SetupDiEnumDeviceInterfaces(ProcAddress entry, HDEVINFO set,
                                     const GUID* interfaceClassGuid, DWORD memberIndex,
                                     DeviceInterfaceData* data) override;
    BOOL SetupDiGetDeviceInterfaceDetailA(ProcAddress entry, HDEVINFO set,
                                          DeviceInterfaceData* data, void* detail, DWORD detailSize,
                                          DWORD* requiredSize) override;
    BOOL SetupDiDestroyDeviceInfoList(ProcAddress entry, HDEVINFO set) override;
    BOOL GetVersionExA(ProcAddress entry, OsVersionInfo* info) override;

private:
    RecordingOsPort(OsPort& inner, std::unique_ptr<SessionWriter> writer);
    void Write(CallKind kind, Part request, Part answer);

    std::unique_ptr<SessionWriter> writer_;
    std::chrono::steady_clock::time_point start_;
    std::uint64_t calls_ = 0;
    Bytes scratch_; // the output buffer as it was before a call
};

} // namespace flashwell::platform::session
