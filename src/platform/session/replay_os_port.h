// An OS port that answers the program from a recorded session instead of Windows. Calls are
// served strictly in the recorded order; each must ask exactly what the recorded one asked.
//
// The first call that differs (or comes after the session's last call) ends the replay: the
// port keeps one message that names the call, the log line the program had reached and the
// bytes that differ, and from then on fails every call as a board that has gone away would
// (error 1167), so the program stops talking to the board and ends its run. The program prints
// the message and leaves with a status of its own.
#pragma once

#include "platform/os_port.h"
#include "platform/session/session_format.h"
#include "platform/ui_port.h"

#include <functional>
#include <memory>
#include <string>

namespace flashwell::platform::session {

class ReplayOsPort final : public OsPort {
public:
    explicit ReplayOsPort(SessionContents session);
    // Nullptr (with the reason) when the file cannot be read at all.
    static std::unique_ptr<ReplayOsPort> Load(const std::string& path, std::string& error);

    // Called once, with the message, when the replay leaves the session.
    void OnDivergence(std::function<void(const std::string&)> callback) {
        onDivergence_ = std::move(callback);
    }
    // The program's log line: the step named in a divergence message.
    void NoteLogLine(const std::string& line) { lastLog_ = line; }

    // The user interface's side: the recorded answer (Closed / cancel once diverged).
    MessageAnswer NextMessageAnswer(MessageKind kind, const std::string& title,
                                    const std::string& text, MessageButtons buttons);
    int NextSubIdChoice();
    // A log line of the program; recorded log lines are skipped, not compared.
    void LogLine(const std::string& line) { NoteLogLine(line); }

    // To be called when the program is done: a session with calls left over is a divergence
    // too (the program stopped earlier than the recorded one).
    void CheckFinished();

    bool Diverged() const { return !message_.empty(); }
    const std::string& Message() const { return message_; }
    std::size_t CallsServed() const { return next_; }
    std::size_t CallsRecorded() const { return session_.records.size(); }
    const Header& SessionHeader() const { return session_.header; }

    DWORD GetSystemDirectoryA(char* buffer, DWORD size) override;
    HMODULE LoadLibraryA(const char* fileName) override;
    ProcAddress GetProcAddress(HMODULE module, const char* name) override;
    BOOL FreeLibrary(HMODULE module) override;
    HANDLE CreateFileA(const char* fileName, DWORD access, DWORD shareMode,
                       DWORD creationDisposition, DWORD flagsAndAttributes) override;
    BOOL CloseHandle(HANDLE handle) override;
    BOOL DeviceIoControl(HANDLE device, DWORD code, void* inBuffer, DWORD inSize, void* outBuffer,
                         DWORD outSize, DWORD* bytesReturned) override;
    DWORD GetLastError() override { return lastError_; }
    void SetLastError(DWORD error) override { lastError_ = error; }
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
    // The recorded call that answers this one, or nullptr once the replay has left the session.
    const Record* Serve(CallKind kind, const Part& request);
    // Number of the answer field, 0 when absent (a damaged session must not crash the replay).
    std::uint64_t Number(const Part& part, std::size_t index) const;
    const Bytes& Blob(const Part& part, std::size_t index) const;
    void Fail(const std::string& what);
    void TakeError(const Record& record, std::size_t field);

    SessionContents session_;
    std::size_t next_ = 0;
    DWORD lastError_ = 0;
    std::string lastLog_;
    std::string lastDebug_;
    std::string message_;
    LocalTime lastTime_{};
    std::function<void(const std::string&)> onDivergence_;
};

} // namespace flashwell::platform::session
