#include "protocol/ezusb_access.h"

#include "protocol/hex_text.h"

#include <cstdio>
#include <vector>

namespace flashwell::protocol {

namespace {

constexpr std::uint8_t kFirmwareLoad = 0xA0;
constexpr std::uint16_t kCpuControlRegister = 0xE600;
constexpr int kEepromAttempts = 101;
constexpr std::uint8_t kEepromWrite = 0x55;
constexpr std::uint8_t kEepromRead = 0x56;

} // namespace

std::int32_t EzUsbAccess::SendVendorRequest(platform::HANDLE handle, std::uint8_t request,
                                            std::uint8_t dataByte, std::uint32_t outputLength,
                                            void* output, std::uint16_t value, std::uint16_t length,
                                            std::uint16_t index, std::uint8_t direction) {
    std::uint8_t record[platform::driver::VendorRequestRecord::kSize];
    platform::driver::VendorRequestRecord{request, value, index, length, direction, dataByte}
        .WriteTo(record);
    DWORD returned = 0;
    return channel_.Os().DeviceIoControl(handle, device::ioctl::VendorRequest, record,
                                         sizeof record, output, outputLength, &returned)
               ? 1
               : kVendorRequestRefused;
}

std::int32_t EzUsbAccess::SetCpuReset(platform::HANDLE handle, std::uint8_t hold) {
    return SendVendorRequest(handle, kFirmwareLoad, hold, 0, nullptr, kCpuControlRegister, 1, 0, 0);
}

std::uint32_t EzUsbAccess::DownloadHexRecords(int board, const char* text,
                                              std::int32_t textLength) {
    const device::TUSBAdapter* adapter = channel_.OpenAdapter(board);
    if (adapter == nullptr) return FailureWord;
    const platform::HANDLE handle = adapter->Handle;
    const std::string_view hex(
        text != nullptr ? text : "",
        text != nullptr && textLength > 0 ? static_cast<std::size_t>(textLength) : 0);
    SetCpuReset(handle, 1);

    const std::int64_t end = static_cast<std::int64_t>(textLength) - hex::kEndRecordLength;
    std::size_t pos = 0;
    for (;;) {
        const hex::Run run = hex::FindRun(hex, pos);
        if (run.length == 0) break;
        std::vector<std::uint8_t> bytes = hex::FillRun(hex, pos, run);
        std::uint8_t address[2] = {static_cast<std::uint8_t>(run.address),
                                   static_cast<std::uint8_t>(run.address >> 8)};
        DWORD returned = 0;
        if (!channel_.Os().DeviceIoControl(handle, device::ioctl::LoadMemory, address, 2,
                                           bytes.data(), static_cast<DWORD>(bytes.size()),
                                           &returned)) {
            SetCpuReset(handle, 0);
            return FailureWord;
        }
        pos += hex::kEndRecordLength * run.records + 2 * run.length;
        if (static_cast<std::int64_t>(pos) >= end) break;
    }
    SetCpuReset(handle, 0);
    return static_cast<std::uint32_t>(textLength - hex::kEndRecordLength);
}

void EzUsbAccess::EepWrite(int board, std::uint16_t address, std::uint8_t data) {
    if (!channel_.IsOpen(board)) return;
    const auto hi = static_cast<std::uint8_t>(address >> 8);
    const auto lo = static_cast<std::uint8_t>(address);
    for (int attempt = 1; attempt <= kEepromAttempts; ++attempt) {
        std::uint8_t write[4] = {kEepromWrite, hi, lo, data};
        // Whether the byte got there is told by reading it back.
        static_cast<void>(channel_.Exchange(board, write, 4, 0));
        channel_.Sleep(2);
        channel_.Sleep(static_cast<DWORD>(attempt));
        std::uint8_t read[3] = {kEepromRead, hi, lo};
        if (channel_.Exchange(board, read, 3, 1).Delivered() && read[0] == data) return;
    }
    char line[64];
    std::snprintf(line, sizeof line, "[ADAPTER%d] eep write %04X failed!", board, address);
    channel_.Debug(line);
}

bool EzUsbAccess::EepReadChecked(int board, std::uint16_t address, std::uint8_t& value) {
    value = 0;
    if (!channel_.IsOpen(board)) return false;
    const auto hi = static_cast<std::uint8_t>(address >> 8);
    const auto lo = static_cast<std::uint8_t>(address);
    // A byte counts once two reads in a row agree; a read that returned nothing never does.
    const auto readOnce = [&](std::uint8_t& out) {
        std::uint8_t packet[3] = {kEepromRead, hi, lo};
        if (!channel_.Exchange(board, packet, 3, 1).Delivered()) return false;
        out = packet[0];
        return true;
    };
    for (int attempt = 1; attempt <= kEepromAttempts; ++attempt) {
        std::uint8_t first = 0;
        if (!readOnce(first)) continue;
        std::uint8_t second = static_cast<std::uint8_t>(first + 1);
        if (!readOnce(second)) continue;
        if (first == second) {
            value = first;
            return true;
        }
    }
    char line[64];
    std::snprintf(line, sizeof line, "[ADAPTER%d] eep read %04X failed!", board, address);
    channel_.Debug(line);
    return false;
}

std::uint8_t EzUsbAccess::EepRead(int board, std::uint16_t address) {
    // A failed read leaves 0; callers that must tell it apart use EepReadChecked.
    std::uint8_t value = 0;
    static_cast<void>(EepReadChecked(board, address, value));
    return value;
}

} // namespace flashwell::protocol
