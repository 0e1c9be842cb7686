#include "device/adapter_usb.h"

#include "platform/wire.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace flashwell::device {

namespace {

constexpr std::uint32_t kPipeOut = 0;
constexpr std::uint32_t kPipeIn = 1;
constexpr std::int32_t kTransferNotOpen = -1;
constexpr std::int32_t kTransferBadArguments = -2;
constexpr std::int32_t kTransferFailed = -99;
constexpr std::int32_t kFullSpeedPacket = 32;
constexpr std::int32_t kHighSpeedPacket = 512;
constexpr std::int32_t kMaxReadChunk = 15;
constexpr std::uint32_t kDirectHostCommandFrom = 0x40004;

} // namespace

using platform::wire::GetLE32;
using platform::wire::PutLE32;

TUSBAdapter::TUSBAdapter(platform::OsPort& os) : TAdapter(os) {
    InterfaceGuid = BoardInterfaceGuid;
    ResetState();
}

void TUSBAdapter::ResetState() {
    Handle = NoDevice;
    OpenCount = 0;
    HighSpeed = false;
    BoardInfoAvailable = false;
    DriverVersion = 0;
    InterfaceVersion = 0;
    BoardIndex = 0;
}

void TUSBAdapter::QueryVersions() {
    std::uint8_t version[6] = {};
    if (IoControl(ioctl::DriverVersion, nullptr, 0, version, sizeof version, nullptr)) {
        const std::uint32_t major = version[0] | (version[1] << 8);
        const std::uint32_t minor = version[2];
        const std::uint32_t build = version[4];
        DriverVersion = (major << 16) | (minor << 8) | build;
    } else {
        DriverVersion = 0;
    }

    std::uint8_t interfaceVersion[4] = {};
    if (IoControl(ioctl::InterfaceVersion, nullptr, 0, interfaceVersion, 4, nullptr))
        InterfaceVersion = GetLE32(interfaceVersion);

    std::uint8_t speed[1] = {0xFF};
    if (Transfer(speed, 1, 1) == 0 && (speed[0] & 0x80) != 0) HighSpeed = true;

    std::uint8_t firmware[3] = {0x10, 0, 0};
    if (Transfer(firmware, 1, 3) == 0) {
        FirmwareVersion =
            (std::uint32_t{firmware[0]} << 16) | (std::uint32_t{firmware[1]} << 8) | firmware[2];
        if (firmware[1] == 7) Protocol = 1;
        if (firmware[1] == 8 || firmware[1] == 9) Protocol = 2;
        const std::string line =
            "[ADAPTER" + std::to_string(BoardIndex) + "] protocol: " + std::to_string(Protocol);
        Os().OutputDebugStringA(line.c_str());
    }

    QueryBoardInfo();
}

void TUSBAdapter::QueryBoardInfo() {
    if (Handle == NoDevice) return;
    std::uint8_t selector[4] = {1, 0, 0, 0};
    std::uint8_t answer[4] = {};
    BoardInfoAvailable = IoControl(ioctl::BoardInfo, selector, 4, answer, 4, nullptr);
}

DWORD TUSBAdapter::WritePipe(std::uint32_t pipe, void* buffer, std::int32_t length) {
    if (Handle == NoDevice) return kNoDeviceError;
    std::uint8_t pipeNumber[4];
    PutLE32(pipeNumber, pipe);
    if (IoControl(ioctl::WritePipe, pipeNumber, 4, buffer, static_cast<DWORD>(length), nullptr))
        return 0;
    return Os().GetLastError();
}

DWORD TUSBAdapter::ReadPipe(std::uint32_t pipe, void* buffer, std::int32_t length) {
    if (Handle == NoDevice) return kNoDeviceError;
    std::uint8_t pipeNumber[4];
    PutLE32(pipeNumber, pipe);
    if (IoControl(ioctl::ReadPipe, pipeNumber, 4, buffer, static_cast<DWORD>(length), nullptr))
        return 0;
    const DWORD error = Os().GetLastError();
    // Never leave stale data of an earlier read where the caller expects this answer.
    if (buffer != nullptr && length > 0) std::memset(buffer, 0, static_cast<std::size_t>(length));
    return error;
}

std::int32_t TUSBAdapter::Transfer(std::uint8_t* buffer, std::int32_t writeLength,
                                   std::int32_t readLength, DWORD* bytesRead) {
    if (bytesRead != nullptr) *bytesRead = 0;
    if (!IsOpen()) return kTransferNotOpen;
    if (writeLength < 1 || buffer == nullptr) return kTransferBadArguments;
    std::uint8_t pipe[4];
    PutLE32(pipe, kPipeOut);
    if (!IoControl(ioctl::WritePipe, pipe, 4, buffer, static_cast<DWORD>(writeLength), nullptr))
        return kTransferFailed;
    std::memset(buffer, 0, static_cast<std::size_t>(writeLength));
    if (readLength > 0) {
        PutLE32(pipe, kPipeIn);
        if (!IoControl(ioctl::ReadPipe, pipe, 4, buffer, static_cast<DWORD>(readLength), bytesRead))
            return kTransferFailed;
    }
    return 0;
}

DWORD TUSBAdapter::WriteWords(const std::uint32_t* words, std::int32_t count) {
    if (Handle == NoDevice) return kNoDeviceError;
    if (count == 0) return 0;
    if (words == nullptr) return platform::kErrorInvalidParameter;

    std::uint8_t packet[kHighSpeedPacket] = {6, 5, 0, 0};
    std::int32_t length = 4;
    std::int32_t inPacket = 0;
    const std::int32_t limit = HighSpeed ? kHighSpeedPacket : kFullSpeedPacket;
    const auto flush = [&]() -> bool {
        packet[2] = static_cast<std::uint8_t>(inPacket >> 8);
        packet[3] = static_cast<std::uint8_t>(inPacket);
        if (WritePipe(kPipeOut, packet, length) != 0) {
            WriteFailed = true;
            return false;
        }
        length = 4;
        inPacket = 0;
        return true;
    };
    for (std::int32_t i = 0; i < count; ++i) {
        PutLE32(packet + length, words[i]);
        length += 4;
        ++inPacket;
        if (length + 4 > limit && !flush()) return kWordPacketFailed;
    }
    if (inPacket > 0 && !flush()) return kWordPacketFailed;
    return 0;
}

DWORD TUSBAdapter::WriteWord(std::uint32_t word) {
    return WriteWords(&word, 1);
}

DWORD TUSBAdapter::ReadWords(std::uint32_t* destination, std::int32_t count) {
    if (Handle == NoDevice) return kNoDeviceError;
    if (count == 0) return 0;
    if (destination == nullptr) return platform::kErrorInvalidParameter;

    DWORD result = 0;
    std::int32_t remaining = count;
    std::uint32_t* at = destination;
    while (remaining > 0) {
        const std::int32_t n = std::min(remaining, kMaxReadChunk);
        std::uint8_t request[4] = {7, 5, static_cast<std::uint8_t>(n >> 8),
                                   static_cast<std::uint8_t>(n)};
        result = WritePipe(kPipeOut, request, 4);
        if (result == 0) {
            std::uint8_t bytes[kMaxReadChunk * 4] = {};
            result = ReadPipe(kPipeIn, bytes, n * 4);
            for (std::int32_t i = 0; i < n; ++i)
                at[i] = GetLE32(bytes + 4 * i);
        }
        at += n;
        remaining -= n;
    }
    return result;
}

DWORD TUSBAdapter::ReadWord(std::uint32_t* destination) {
    return ReadWords(destination, 1);
}

DWORD TUSBAdapter::SendHostCommand(std::int32_t vector) {
    if (Handle == NoDevice) return kNoDeviceError;
    LastHostCommand = vector;
    if (InterfaceVersion >= kDirectHostCommandFrom) {
        std::uint8_t value[4];
        PutLE32(value, static_cast<std::uint32_t>(vector));
        if (IoControl(ioctl::HostCommand, value, 4, nullptr, 0, nullptr)) return 0;
        return Os().GetLastError();
    }
    std::uint8_t packet[3] = {2, 1, static_cast<std::uint8_t>(0x80 | (vector & 0x7F))};
    return WritePipe(kPipeOut, packet, 3);
}

DWORD TUSBAdapter::SendHostCommandWord(std::int32_t vector, std::uint32_t word) {
    const DWORD result = SendHostCommand(vector);
    if (result != 0) return result;
    return WriteWord(word);
}

BoardTable::BoardTable(const BoardTable& other, platform::OsPort& os) : os_(os) {
    for (int i = 0; i < kSlots; ++i)
        if (other.slots_[i]) slots_[i] = std::make_unique<TUSBAdapter>(*other.slots_[i], os);
}

int BoardTable::OpenBoard(int index) {
    if (index < 0 || index >= kSlots) return 0;
    auto& slot = slots_[index];
    if (!slot) slot = std::make_unique<TUSBAdapter>(os_);
    if (slot->Open(index, kDeviceUsb1801) != 0) return 0;
    if (slot->IsOpen() && opened_) opened_(slot->BoardIndex);
    return 1;
}

int BoardTable::CloseBoard(int index) {
    TUSBAdapter* adapter = Adapter(index);
    if (adapter == nullptr) return 0;
    adapter->Close();
    return adapter->OpenCount;
}

bool BoardTable::IsBoardOpen(int index) const {
    const TUSBAdapter* adapter = Adapter(index);
    return adapter != nullptr && adapter->IsOpen();
}

int BoardTable::DropBoardOnDeviceLoss(int index) {
    const DWORD error = os_.GetLastError();
    if ((error == platform::kErrorGenFailure || error == platform::kErrorDeviceNotConnected) &&
        IsBoardOpen(index))
        Adapter(index)->ForceClose();
    return 0;
}

TUSBAdapter* BoardTable::Adapter(int index) {
    if (index < 0 || index >= kSlots) return nullptr;
    return slots_[index].get();
}

const TUSBAdapter* BoardTable::Adapter(int index) const {
    if (index < 0 || index >= kSlots) return nullptr;
    return slots_[index].get();
}

} // namespace flashwell::device
