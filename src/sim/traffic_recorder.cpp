#include "sim/traffic_recorder.h"

#include "sim/board_driver.h"

#include <cstdio>

namespace flashwell::sim {

const char* EventKindName(EventKind kind) {
    switch (kind) {
    case EventKind::LoadLibrary:
        return "LoadLibraryA";
    case EventKind::GetProcAddress:
        return "GetProcAddress";
    case EventKind::UsbTransfer:
        return "USB transfer";
    case EventKind::FreeLibrary:
        return "FreeLibrary";
    case EventKind::GetClassDevs:
        return "SetupDiGetClassDevsA";
    case EventKind::EnumDeviceInterfaces:
        return "SetupDiEnumDeviceInterfaces";
    case EventKind::GetDeviceInterfaceDetail:
        return "SetupDiGetDeviceInterfaceDetailA";
    case EventKind::DestroyDeviceInfoList:
        return "SetupDiDestroyDeviceInfoList";
    case EventKind::GetVersionEx:
        return "GetVersionExA";
    case EventKind::CreateFile:
        return "CreateFileA";
    case EventKind::CloseHandle:
        return "CloseHandle";
    case EventKind::IoControl:
        return "DeviceIoControl";
    case EventKind::Sleep:
        return "Sleep";
    case EventKind::DebugOutput:
        return "OutputDebugStringA";
    }
    return "?";
}

std::optional<std::uint32_t> TrafficEvent::Pipe() const {
    if (kind != EventKind::IoControl || (code != kIoctlPipeRead && code != kIoctlPipeWrite) ||
        input.size() != 4)
        return std::nullopt;
    return static_cast<std::uint32_t>(input[0] | input[1] << 8 | input[2] << 16 |
                                      static_cast<std::uint32_t>(input[3]) << 24);
}

namespace {

std::string Hex(const Bytes& bytes) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 48) {
            out += " ...(" + std::to_string(bytes.size()) + ")";
            break;
        }
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        out += buf;
    }
    return out;
}

} // namespace

std::string TrafficEvent::ToString() const {
    char head[96];
    std::snprintf(head, sizeof head, "%8llu ms %s", static_cast<unsigned long long>(timeMs),
                  EventKindName(kind));
    std::string s = head;
    if (kind == EventKind::IoControl) {
        char code_[16];
        std::snprintf(code_, sizeof code_, " 0x%06X", code);
        s += code_;
        s += " in[" + Hex(input) + "] out[" + Hex(output) + "]";
    } else if (kind == EventKind::Sleep || kind == EventKind::EnumDeviceInterfaces) {
        s += ' ';
        s += std::to_string(code);
    }
    if (!name.empty()) s += " \"" + name + "\"";
    if (board >= 0) s += " board " + std::to_string(board);
    s += ok ? " ok" : " failed " + std::to_string(error);
    return s;
}

std::vector<TrafficEvent> TrafficRecorder::OfKind(EventKind kind, std::size_t from) const {
    std::vector<TrafficEvent> out;
    for (std::size_t i = from; i < events_.size(); ++i)
        if (events_[i].kind == kind) out.push_back(events_[i]);
    return out;
}

std::vector<TrafficEvent> TrafficRecorder::Requests(platform::DWORD code, std::size_t from) const {
    std::vector<TrafficEvent> out;
    for (std::size_t i = from; i < events_.size(); ++i)
        if (events_[i].kind == EventKind::IoControl && events_[i].code == code)
            out.push_back(events_[i]);
    return out;
}

std::size_t TrafficRecorder::CountRequests(platform::DWORD code, std::size_t from) const {
    std::size_t n = 0;
    for (std::size_t i = from; i < events_.size(); ++i)
        if (events_[i].kind == EventKind::IoControl && events_[i].code == code) ++n;
    return n;
}

std::vector<Bytes> TrafficRecorder::PipeWrites(std::uint32_t pipe, std::size_t from) const {
    std::vector<Bytes> out;
    for (std::size_t i = from; i < events_.size(); ++i) {
        const TrafficEvent& e = events_[i];
        if (e.kind == EventKind::IoControl && e.code == kIoctlPipeWrite && e.Pipe() == pipe)
            out.push_back(e.output);
    }
    return out;
}

std::vector<Bytes> TrafficRecorder::PipeReads(std::uint32_t pipe, std::size_t from) const {
    std::vector<Bytes> out;
    for (std::size_t i = from; i < events_.size(); ++i) {
        const TrafficEvent& e = events_[i];
        if (e.kind == EventKind::IoControl && e.code == kIoctlPipeRead && e.ok && e.Pipe() == pipe)
            out.push_back(e.output);
    }
    return out;
}

std::uint64_t TrafficRecorder::SleptMs(std::size_t from) const {
    std::uint64_t total = 0;
    for (std::size_t i = from; i < events_.size(); ++i)
        if (events_[i].kind == EventKind::Sleep) total += events_[i].code;
    return total;
}

std::string TrafficRecorder::Dump(std::size_t from) const {
    std::string out;
    for (std::size_t i = from; i < events_.size(); ++i)
        out += events_[i].ToString() + "\n";
    return out;
}

} // namespace flashwell::sim
