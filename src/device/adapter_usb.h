// The USB board adapter with its version state and packet operations, and the board table
// through which the rest of the program names boards by index.
#pragma once

#include "device/adapter.h"

#include <functional>
#include <memory>

namespace flashwell::device {

// Windows error code returned when a word packet could not be written.
inline constexpr DWORD kWordPacketFailed = 1460;

class TUSBAdapter : public TAdapter {
public:
    explicit TUSBAdapter(platform::OsPort& os);
    // The adapter as it is now (handle, versions, state), talking to `os` instead.
    TUSBAdapter(const TUSBAdapter& other, platform::OsPort& os) : TUSBAdapter(other) { Rebind(os); }

    void ResetState() override;

    void QueryBoardInfo();
    DWORD WritePipe(std::uint32_t pipe, void* buffer, std::int32_t length);
    DWORD ReadPipe(std::uint32_t pipe, void* buffer, std::int32_t length);
    // 0, -1 not open, -2 nothing to write, -99 a request failed.
    // bytesRead, when given, receives how many answer bytes the driver returned.
    [[nodiscard]] std::int32_t Transfer(std::uint8_t* buffer, std::int32_t writeLength,
                                        std::int32_t readLength, DWORD* bytesRead = nullptr);
    DWORD WriteWords(const std::uint32_t* words, std::int32_t count);
    DWORD WriteWord(std::uint32_t word);
    DWORD ReadWords(std::uint32_t* destination, std::int32_t count);
    DWORD ReadWord(std::uint32_t* destination);
    DWORD SendHostCommand(std::int32_t vector);
    DWORD SendHostCommandWord(std::int32_t vector, std::uint32_t word);

    bool HighSpeed = false;
    bool BoardInfoAvailable = false;
    std::int32_t LastHostCommand = 0;
    bool WriteFailed = false;
    std::uint32_t DriverVersion = 0;
    std::uint32_t InterfaceVersion = 0;
    std::uint32_t FirmwareVersion = 0;
    std::int32_t Protocol = 0;

protected:
    void QueryVersions() override;

private:
    TUSBAdapter(const TUSBAdapter&) = default;
};

class BoardTable {
public:
    static constexpr int kSlots = 17;

    explicit BoardTable(platform::OsPort& os) : os_(os) {}
    // The table as it is now, its adapters talking to `os`. The opened hook is not copied:
    // it belongs to whoever set it (BoardProtocol sets its own on its copy).
    BoardTable(const BoardTable& other, platform::OsPort& os);
    BoardTable& operator=(const BoardTable&) = delete;

    int OpenBoard(int index);
    int CloseBoard(int index);
    bool IsBoardOpen(int index) const;
    int DropBoardOnDeviceLoss(int index);

    // The adapter of a slot, or nullptr for an index out of range or never opened.
    TUSBAdapter* Adapter(int index);
    const TUSBAdapter* Adapter(int index) const;

    // Run after every successful OpenBoard while the board is open (the speed probe).
    void SetOpenedHook(std::function<void(int)> hook) { opened_ = std::move(hook); }

    platform::OsPort& Os() { return os_; }

private:
    platform::OsPort& os_;
    std::unique_ptr<TUSBAdapter> slots_[kSlots];
    std::function<void(int)> opened_;
};

} // namespace flashwell::device
