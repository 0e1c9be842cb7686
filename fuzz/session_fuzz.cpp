// Session files come from technicians' machines, by mail: any bytes must read without a crash,
// what reads writes back to a file that reads the same, and a replay that serves the records
// back to a host asking exactly what was recorded writes only inside the host's buffers.
#include "platform/session/replay_os_port.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

using namespace flashwell::platform;
using namespace flashwell::platform::session;

namespace {

std::uint64_t Field(const Part& part, std::size_t i) {
    return i < part.numbers.size() ? part.numbers[i] : 0;
}

const Bytes& BlobOf(const Part& part, std::size_t i) {
    static const Bytes kNone;
    return i < part.blobs.size() ? part.blobs[i] : kNone;
}

std::string TextOf(const Part& part, std::size_t i) {
    const Bytes& b = BlobOf(part, i);
    return std::string(b.begin(), std::find(b.begin(), b.end(), 0));
}

// A host buffer of the recorded size (bounded), filled as the recorded host filled it; the
// vector's own bounds are what ASan watches.
std::vector<std::uint8_t> Buffer(std::uint64_t size, const Bytes& content) {
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(size, 4096)));
    std::copy_n(content.begin(), std::min(content.size(), buffer.size()), buffer.begin());
    return buffer;
}

GUID GuidOf(const Bytes& b) {
    GUID g{};
    if (b.size() == 16) {
        g.Data1 = static_cast<std::uint32_t>(b[0] | b[1] << 8 | b[2] << 16) |
                  static_cast<std::uint32_t>(b[3]) << 24;
        g.Data2 = static_cast<std::uint16_t>(b[4] | b[5] << 8);
        g.Data3 = static_cast<std::uint16_t>(b[6] | b[7] << 8);
        std::copy_n(b.begin() + 8, 8, g.Data4);
    }
    return g;
}

// Asks the port exactly what each record asked.
void ServeBack(ReplayOsPort& port, const SessionContents& s) {
    for (const Record& r : s.records) {
        const Part& q = r.request;
        const auto d = [&](std::size_t i) { return static_cast<DWORD>(Field(q, i)); };
        switch (r.kind) {
        case CallKind::GetSystemDirectoryA: {
            auto buffer = Buffer(Field(q, 0), {});
            port.GetSystemDirectoryA(Field(q, 1) ? reinterpret_cast<char*>(buffer.data()) : nullptr,
                                     static_cast<DWORD>(buffer.size()));
            break;
        }
        case CallKind::LoadLibraryA:
            port.LoadLibraryA(TextOf(q, 0).c_str());
            break;
        case CallKind::GetProcAddress:
            port.GetProcAddress(Field(q, 0), TextOf(q, 0).c_str());
            break;
        case CallKind::FreeLibrary:
            port.FreeLibrary(Field(q, 0));
            break;
        case CallKind::CreateFileA:
            port.CreateFileA(TextOf(q, 0).c_str(), d(0), d(1), d(2), d(3));
            break;
        case CallKind::CloseHandle:
            port.CloseHandle(Field(q, 0));
            break;
        case CallKind::DeviceIoControl: {
            auto in = Buffer(Field(q, 2), BlobOf(q, 0));
            auto out = Buffer(Field(q, 3), BlobOf(q, 1));
            DWORD returned = 0;
            port.DeviceIoControl(Field(q, 0), d(1), in.empty() ? nullptr : in.data(),
                                 static_cast<DWORD>(in.size()), out.empty() ? nullptr : out.data(),
                                 static_cast<DWORD>(out.size()), &returned);
            break;
        }
        case CallKind::OutputDebugStringA:
            port.OutputDebugStringA(TextOf(q, 0).c_str());
            break;
        case CallKind::Sleep:
            port.Sleep(d(0));
            break;
        case CallKind::GetLocalTime:
            port.GetLocalTime();
            break;
        case CallKind::SetupDiGetClassDevsA: {
            const GUID g = GuidOf(BlobOf(q, 0));
            const std::string e = TextOf(q, 1);
            port.SetupDiGetClassDevsA(Field(q, 0), Field(q, 2) ? &g : nullptr,
                                      Field(q, 3) ? e.c_str() : nullptr, d(1));
            break;
        }
        case CallKind::SetupDiEnumDeviceInterfaces: {
            const GUID g = GuidOf(BlobOf(q, 0));
            DeviceInterfaceData data{};
            data.cbSize = d(5);
            port.SetupDiEnumDeviceInterfaces(Field(q, 0), Field(q, 1), Field(q, 3) ? &g : nullptr,
                                             d(2), Field(q, 4) ? &data : nullptr);
            break;
        }
        case CallKind::SetupDiGetDeviceInterfaceDetailA: {
            DeviceInterfaceData data{};
            data.InterfaceClassGuid = GuidOf(BlobOf(q, 0));
            auto detail = Buffer(Field(q, 2), {});
            const DWORD cb = d(4);
            if (detail.size() >= 4)
                std::copy_n(reinterpret_cast<const std::uint8_t*>(&cb), 4, detail.begin());
            DWORD required = 0;
            const DWORD given = d(3);
            port.SetupDiGetDeviceInterfaceDetailA(
                Field(q, 0), Field(q, 1), (given & 1) ? &data : nullptr,
                (given & 2) && !detail.empty() ? detail.data() : nullptr,
                static_cast<DWORD>(detail.size()), (given & 4) ? &required : nullptr);
            break;
        }
        case CallKind::SetupDiDestroyDeviceInfoList:
            port.SetupDiDestroyDeviceInfoList(Field(q, 0), Field(q, 1));
            break;
        case CallKind::GetVersionExA: {
            OsVersionInfo info{};
            info.dwOSVersionInfoSize = d(2);
            port.GetVersionExA(Field(q, 0), Field(q, 1) ? &info : nullptr);
            break;
        }
        case CallKind::MessageBox:
            port.NextMessageAnswer(static_cast<MessageKind>(Field(q, 0) % 4), TextOf(q, 0),
                                   TextOf(q, 1), static_cast<MessageButtons>(Field(q, 1) % 4));
            break;
        case CallKind::SubIdDialog: {
            const int choice = port.NextSubIdChoice();
            if (choice < -1 || choice > 2) std::abort();
            break;
        }
        case CallKind::LogLine:
        case CallKind::End:
            break;
        }
        if (port.Diverged()) return;
    }
    port.CheckFinished();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string error;
    const auto contents = ParseSession(std::span<const std::uint8_t>(data, size), error);
    if (!contents) {
        if (error.empty()) std::abort();
        return 0;
    }
    if (!contents->complete && contents->stop.empty()) std::abort();

    const Bytes again = EncodeSession(*contents);
    const auto reread = ParseSession(again, error);
    if (!reread || reread->records.size() != contents->records.size() ||
        reread->complete != contents->complete) {
        std::fprintf(stderr, "a session written back does not read the same\n");
        std::abort();
    }
    for (std::size_t i = 0; i < contents->records.size(); ++i) {
        const Record& a = contents->records[i];
        const Record& b = reread->records[i];
        if (a.kind != b.kind || !(a.request == b.request) || !(a.answer == b.answer) ||
            a.timeMs != b.timeMs) {
            std::fprintf(stderr, "record %zu differs after writing it back\n", i + 1);
            std::abort();
        }
    }

    ReplayOsPort port(*contents);
    ServeBack(port, *contents);
    return 0;
}
