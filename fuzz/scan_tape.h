// The calls a program made of Windows, with Windows' answers, kept to answer the same calls a
// second time without Windows: the device fuzzer scans a board once, copies the simulated
// machine as the scan left it, and lets every later program scan the tape and then go on with
// the copy, which stands exactly where the tape ends.
//
// A program that asks anything other than what the tape holds is not the program that made it:
// the tape aborts with the call it got, so that the fuzzer reports it instead of judging a run
// whose machine does not match what its program saw.
#pragma once

#include "platform/forwarding_os_port.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

namespace flashwell::fuzz {

class TapePort final : public platform::ForwardingOsPort {
public:
    enum class Call : std::uint8_t {
        SystemDirectory,
        LoadLibrary,
        ProcAddress,
        FreeLibrary,
        CreateFile,
        CloseHandle,
        IoControl,
        GetLastError,
        SetLastError,
        DebugString,
        Sleep,
        LocalTime,
        ClassDevs,
        EnumInterfaces,
        InterfaceDetail,
        DestroyList,
        VersionEx,
    };
    struct Entry {
        Call call;
        std::array<std::uint64_t, 4> args;
        std::vector<std::uint8_t> data; // what the program handed in
        std::vector<std::uint8_t> sent; // the data a request hands over in its output buffer
        std::uint64_t result;
        std::uint64_t count;              // bytes returned, required size
        std::vector<std::uint8_t> answer; // the buffer the call filled, as it left it
    };
    using Tape = std::vector<Entry>;

    // Answers from `play` while it lasts, then passes calls on to `windows`, adding them to
    // `record`; either may be null.
    TapePort(platform::OsPort& windows, Tape* record, const Tape* play)
        : ForwardingOsPort(windows), record_(record), play_(play) {}
    // Whether a playing port has answered every call of its tape.
    bool Played() const { return play_ == nullptr || next_ == play_->size(); }

    using DWORD = platform::DWORD;
    using BOOL = platform::BOOL;
    using HANDLE = platform::HANDLE;
    using HMODULE = platform::HMODULE;
    using HDEVINFO = platform::HDEVINFO;
    using ProcAddressT = platform::ProcAddress;

    DWORD GetSystemDirectoryA(char* buffer, DWORD size) override {
        return static_cast<DWORD>(Pass(Call::SystemDirectory, {size}, {}, Out(buffer, size),
                                       nullptr,
                                       [&] { return Inner().GetSystemDirectoryA(buffer, size); }));
    }
    HMODULE LoadLibraryA(const char* fileName) override {
        return Pass(Call::LoadLibrary, {}, Text(fileName), {}, nullptr,
                    [&] { return Inner().LoadLibraryA(fileName); });
    }
    ProcAddressT GetProcAddress(HMODULE module, const char* name) override {
        return Pass(Call::ProcAddress, {module}, Text(name), {}, nullptr,
                    [&] { return Inner().GetProcAddress(module, name); });
    }
    BOOL FreeLibrary(HMODULE module) override {
        return static_cast<BOOL>(Pass(Call::FreeLibrary, {module}, {}, {}, nullptr,
                                      [&] { return Inner().FreeLibrary(module); }));
    }
    HANDLE CreateFileA(const char* fileName, DWORD access, DWORD shareMode,
                       DWORD creationDisposition, DWORD flagsAndAttributes) override {
        return Pass(Call::CreateFile, {access, shareMode, creationDisposition, flagsAndAttributes},
                    Text(fileName), {}, nullptr, [&] {
                        return Inner().CreateFileA(fileName, access, shareMode, creationDisposition,
                                                   flagsAndAttributes);
                    });
    }
    BOOL CloseHandle(HANDLE handle) override {
        return static_cast<BOOL>(Pass(Call::CloseHandle, {handle}, {}, {}, nullptr,
                                      [&] { return Inner().CloseHandle(handle); }));
    }
    BOOL DeviceIoControl(HANDLE device, DWORD code, void* inBuffer, DWORD inSize, void* outBuffer,
                         DWORD outSize, DWORD* bytesReturned) override {
        std::uint64_t returned = 0;
        const auto result = Pass(
            Call::IoControl, {device, code, inSize, outSize}, Bytes(inBuffer, inSize),
            Out(outBuffer, outSize), &returned,
            [&] {
                DWORD n = 0;
                const BOOL ok =
                    Inner().DeviceIoControl(device, code, inBuffer, inSize, outBuffer, outSize, &n);
                returned = n;
                return ok;
            },
            (code & 3) == 1);
        if (bytesReturned != nullptr) *bytesReturned = static_cast<DWORD>(returned);
        return static_cast<BOOL>(result);
    }
    DWORD GetLastError() override {
        return static_cast<DWORD>(
            Pass(Call::GetLastError, {}, {}, {}, nullptr, [&] { return Inner().GetLastError(); }));
    }
    void SetLastError(DWORD error) override {
        Pass(Call::SetLastError, {error}, {}, {}, nullptr, [&] {
            Inner().SetLastError(error);
            return 0;
        });
    }
    void OutputDebugStringA(const char* text) override {
        Pass(Call::DebugString, {}, Text(text), {}, nullptr, [&] {
            Inner().OutputDebugStringA(text);
            return 0;
        });
    }
    void Sleep(DWORD milliseconds) override {
        Pass(Call::Sleep, {milliseconds}, {}, {}, nullptr, [&] {
            Inner().Sleep(milliseconds);
            return 0;
        });
    }
    platform::LocalTime GetLocalTime() override {
        platform::LocalTime time{};
        Pass(Call::LocalTime, {}, {}, Out(&time, sizeof time), nullptr, [&] {
            time = Inner().GetLocalTime();
            return 0;
        });
        return time;
    }
    HDEVINFO SetupDiGetClassDevsA(ProcAddressT entry, const platform::GUID* classGuid,
                                  const char* enumerator, DWORD flags) override {
        return Pass(Call::ClassDevs, {entry, flags, enumerator == nullptr}, Bytes(classGuid, 16),
                    {}, nullptr, [&] {
                        return Inner().SetupDiGetClassDevsA(entry, classGuid, enumerator, flags);
                    });
    }
    BOOL SetupDiEnumDeviceInterfaces(ProcAddressT entry, HDEVINFO set,
                                     const platform::GUID* interfaceClassGuid, DWORD memberIndex,
                                     platform::DeviceInterfaceData* data) override {
        return static_cast<BOOL>(
            Pass(Call::EnumInterfaces, {entry, set, memberIndex}, Bytes(interfaceClassGuid, 16),
                 Out(data, data == nullptr ? 0 : sizeof *data), nullptr, [&] {
                     return Inner().SetupDiEnumDeviceInterfaces(entry, set, interfaceClassGuid,
                                                                memberIndex, data);
                 }));
    }
    BOOL SetupDiGetDeviceInterfaceDetailA(ProcAddressT entry, HDEVINFO set,
                                          platform::DeviceInterfaceData* data, void* detail,
                                          DWORD detailSize, DWORD* requiredSize) override {
        std::uint64_t required = 0;
        const auto result = Pass(
            Call::InterfaceDetail, {entry, set, detailSize, requiredSize == nullptr},
            Bytes(data, data == nullptr ? 0 : sizeof *data), Out(detail, detailSize), &required,
            [&] {
                DWORD n = requiredSize == nullptr ? 0 : *requiredSize;
                const BOOL ok = Inner().SetupDiGetDeviceInterfaceDetailA(
                    entry, set, data, detail, detailSize, requiredSize == nullptr ? nullptr : &n);
                required = n;
                return ok;
            });
        if (requiredSize != nullptr) *requiredSize = static_cast<DWORD>(required);
        return static_cast<BOOL>(result);
    }
    BOOL SetupDiDestroyDeviceInfoList(ProcAddressT entry, HDEVINFO set) override {
        return static_cast<BOOL>(Pass(Call::DestroyList, {entry, set}, {}, {}, nullptr, [&] {
            return Inner().SetupDiDestroyDeviceInfoList(entry, set);
        }));
    }
    BOOL GetVersionExA(ProcAddressT entry, platform::OsVersionInfo* info) override {
        return static_cast<BOOL>(Pass(Call::VersionEx, {entry}, {},
                                      Out(info, info == nullptr ? 0 : sizeof *info), nullptr,
                                      [&] { return Inner().GetVersionExA(entry, info); }));
    }

private:
    static std::span<const std::uint8_t> Bytes(const void* data, std::size_t size) {
        if (data == nullptr) return {};
        return {static_cast<const std::uint8_t*>(data), size};
    }
    static std::span<const std::uint8_t> Text(const char* text) {
        return Bytes(text, text == nullptr ? 0 : std::strlen(text));
    }
    static std::span<std::uint8_t> Out(void* data, std::size_t size) {
        if (data == nullptr) return {};
        return {static_cast<std::uint8_t*>(data), size};
    }

    // `sends`: the answer buffer holds data for the device on the way in (a request of direct
    // input), which must be the recorded data too.
    template <typename Forward>
    std::uint64_t Pass(Call call, std::array<std::uint64_t, 4> args,
                       std::span<const std::uint8_t> data, std::span<std::uint8_t> answer,
                       std::uint64_t* count, Forward&& forward, bool sends = false) {
        if (play_ != nullptr && next_ < play_->size()) {
            const Entry& e = (*play_)[next_++];
            if (e.call != call || e.args != args || e.answer.size() != answer.size() ||
                !std::equal(data.begin(), data.end(), e.data.begin(), e.data.end()) ||
                (sends &&
                 !std::equal(answer.begin(), answer.end(), e.sent.begin(), e.sent.end()))) {
                std::fprintf(stderr, "the scan left its tape at call %zu (kind %d)\n", next_ - 1,
                             static_cast<int>(call));
                std::abort();
            }
            std::copy(e.answer.begin(), e.answer.end(), answer.begin());
            if (count != nullptr) *count = e.count;
            return e.result;
        }
        if (record_ == nullptr) return static_cast<std::uint64_t>(forward());
        std::vector<std::uint8_t> sent;
        if (sends) sent.assign(answer.begin(), answer.end());
        const std::uint64_t result = static_cast<std::uint64_t>(forward());
        record_->push_back(Entry{call,
                                 args,
                                 {data.begin(), data.end()},
                                 std::move(sent),
                                 result,
                                 count == nullptr ? 0 : *count,
                                 {answer.begin(), answer.end()}});
        return result;
    }
    Tape* record_;
    const Tape* play_;
    std::size_t next_ = 0;
};

} // namespace flashwell::fuzz
