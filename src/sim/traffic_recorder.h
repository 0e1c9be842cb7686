// Everything the host asks of the simulated Windows, in order, with the bytes that moved.
#pragma once

#include "platform/os_port.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace flashwell::sim {

enum class EventKind {
    LoadLibrary,
    GetProcAddress,
    FreeLibrary,
    GetClassDevs,
    EnumDeviceInterfaces,
    GetDeviceInterfaceDetail,
    DestroyDeviceInfoList,
    GetVersionEx,
    CreateFile,
    CloseHandle,
    IoControl,
    Sleep,
    DebugOutput,
    // A USB transfer a board got through WinUSB: code is the endpoint (0: control), input the
    // setup packet, output the data that moved.
    UsbTransfer,
};

const char* EventKindName(EventKind kind);

using Bytes = std::vector<std::uint8_t>;

struct TrafficEvent {
    TrafficEvent() = default;
    explicit TrafficEvent(EventKind k) : kind(k) {}

    EventKind kind = EventKind::IoControl;
    std::uint64_t timeMs = 0;
    // File name, module name, entry point name, the device path behind a handle, or the text of
    // a debug output line.
    std::string name;
    // File handle, module handle or device-information set the call worked on or produced.
    std::uintptr_t handle = 0;
    // Board id of the device concerned, -1 when none.
    int board = -1;
    // I/O control code; flags for GetClassDevs; member index for EnumDeviceInterfaces; buffer
    // size for GetDeviceInterfaceDetail; milliseconds for Sleep.
    platform::DWORD code = 0;
    Bytes input;
    // For requests that carry data to the board in the output buffer (method 1) the data sent,
    // otherwise the bytes the call returned.
    Bytes output;
    platform::DWORD bytesReturned = 0;
    // CreateFileA parameters.
    platform::DWORD access = 0;
    platform::DWORD shareMode = 0;
    platform::DWORD creationDisposition = 0;
    platform::DWORD flagsAndAttributes = 0;
    bool ok = false;
    platform::DWORD error = 0;

    // The 32-bit pipe number of a pipe request, if this is one.
    std::optional<std::uint32_t> Pipe() const;
    std::string ToString() const;
};

class TrafficRecorder {
public:
    void Record(TrafficEvent event) {
        if (enabled_) events_.push_back(std::move(event));
    }
    void Clear() { events_.clear(); }
    // A whole update is some 200 000 requests; the program keeps no record unless asked to.
    void SetEnabled(bool enabled) { enabled_ = enabled; }
    bool Enabled() const { return enabled_; }

    const std::vector<TrafficEvent>& Events() const { return events_; }
    std::size_t Size() const { return events_.size(); }
    // A position to take later queries from, e.g. after the setup of a test.
    std::size_t Mark() const { return events_.size(); }

    std::vector<TrafficEvent> OfKind(EventKind kind, std::size_t from = 0) const;
    // Every DeviceIoControl with this code.
    std::vector<TrafficEvent> Requests(platform::DWORD code, std::size_t from = 0) const;
    std::size_t CountRequests(platform::DWORD code, std::size_t from = 0) const;
    // Data of every pipe write to this pipe (attempted, failed ones included), in order.
    std::vector<Bytes> PipeWrites(std::uint32_t pipe = 0, std::size_t from = 0) const;
    // Data returned by every successful pipe read from this pipe, in order.
    std::vector<Bytes> PipeReads(std::uint32_t pipe = 1, std::size_t from = 0) const;
    // The sum of Sleep milliseconds.
    std::uint64_t SleptMs(std::size_t from = 0) const;

    // One line per event, for test failure messages.
    std::string Dump(std::size_t from = 0) const;

private:
    std::vector<TrafficEvent> events_;
    bool enabled_ = true;
};

} // namespace flashwell::sim
