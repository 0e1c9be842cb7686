// A physical board (or bare EZ-USB controller) on the bus. It outlives the Windows device node
// it shows up as: unplugging and replugging, or a controller that re-enumerates under another
// identity, keeps the same Board with its DSP, memory and EEPROM.
#pragma once

#include "platform/os_port.h"
#include "sim/controller_firmware.h"
#include "sim/dsp_host_interface.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace flashwell::sim {

inline constexpr platform::GUID kBoardInterfaceGuid{
    0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

enum class DeviceKind {
    UsbBoard1801,  // the board this tool updates
    UsbBoard1802,  // partner product, listed but not ours
    PciBoard,      // same DSP board on the PCI bus
    EzUsbBoot8613, // controller without firmware, identity 04b4:8613
    EzUsbBoot2131, // controller without firmware, identity 0547:2131
};

// True for the kinds that come up running the board firmware.
bool RunsBoardFirmware(DeviceKind kind);

struct DriverVersion {
    std::uint16_t major = 6;
    std::uint16_t minor = 2;
    std::uint16_t build = 17;
};

// Makes the driver fail a request: of the requests with this code (any code for kAnyCode) made
// after the rule was armed, the first `afterCalls` succeed, the next one fails with `error`, and
// so do all later ones unless `once` is set.
struct FaultRule {
    static constexpr platform::DWORD kAnyCode = 0;
    platform::DWORD code = kAnyCode;
    std::uint32_t afterCalls = 0;
    platform::DWORD error = platform::kErrorGenFailure;
    bool once = false;
};

struct BoardConfig {
    DeviceKind kind = DeviceKind::UsbBoard1801;
    // Device instance part of the device path; empty: the world numbers boards itself.
    std::string instanceId;
    // When set, the exact device path instead of the one built from kind and instance.
    std::string devicePathOverride;
    platform::GUID interfaceGuid = kBoardInterfaceGuid;
    // The n of "\\.\OV4USB-n" (1801) or "\\.\TRAVIO-n" (1802) the driver answers to, if any.
    std::optional<unsigned> symbolicNumber;

    DriverVersion driverVersion;
    // Answer to request 0x222E00; nothing: the driver predates it and fails it with error 1.
    // Direct register and host-command requests exist from 0x40004 on.
    std::optional<std::uint32_t> interfaceVersion = 0x40003;
    std::uint32_t boardInfo = 0;
    // Answer to the board-number request (selector 3); nothing: the request fails with 87.
    std::optional<std::uint32_t> boardNumber;

    std::array<std::uint8_t, 3> firmwareVersion{5, 8, 1};
    bool highSpeed = false;

    // CreateFileA of the device path / of the symbolic name fails with this error (0: opens).
    platform::DWORD pathOpenError = 0;
    platform::DWORD symbolicOpenError = 0;

    std::vector<FaultRule> faults;
};

// The 10-byte input record of the vendor request.
struct VendorRequest {
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
    std::uint8_t direction = 0;
    std::uint8_t data = 0;

    static VendorRequest Parse(std::span<const std::uint8_t, 10> bytes);
};

class Board;

// Extension points for what lies behind the controller. The defaults keep the CPU reset flag
// (request 0xA0 on register 0xE600) and the controller RAM on the Board, and leave the EEPROM
// silent. Overrides may call the defaults.
class ControllerHooks {
public:
    virtual ~ControllerHooks() = default;
    // Returns the Windows error the request completes with; data is the request's buffer.
    virtual platform::DWORD OnVendorRequest(Board& board, const VendorRequest& request,
                                            std::span<std::uint8_t> data,
                                            platform::DWORD& bytesReturned);
    virtual platform::DWORD OnLoadMemory(Board& board, std::uint16_t address,
                                         std::span<const std::uint8_t> bytes);
    virtual void OnEepromWrite(Board& board, std::uint16_t address, std::uint8_t data);
    virtual std::optional<std::uint8_t> OnEepromRead(Board& board, std::uint16_t address);
};

class Board final : public FirmwareEnvironment {
public:
    static constexpr std::size_t kControllerRamSize = 0x10000;

    Board(int id, BoardConfig config);
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    int Id() const { return id_; }
    const BoardConfig& Config() const { return config_; }
    // Settings may be changed while the world runs (versions, speed, open errors, identity).
    BoardConfig& MutableConfig() { return config_; }

    DeviceKind Kind() const { return config_.kind; }
    std::string DevicePath() const;
    // "\\.\OV4USB-n" or "\\.\TRAVIO-n", if the driver offers one for this device.
    std::optional<std::string> SymbolicName() const;

    DspHostInterface& Dsp() override { return dsp_; }
    bool HighSpeed() const override { return config_.highSpeed; }
    void EepromWrite(std::uint16_t address, std::uint8_t data) override;
    std::optional<std::uint8_t> EepromRead(std::uint16_t address) override;

    // Nothing while the controller has no firmware (boot state).
    ControllerFirmware* Firmware() { return firmware_.get(); }
    // The board firmware, when that is what runs (test inspection).
    BoardFirmware* RunningBoardFirmware() { return dynamic_cast<BoardFirmware*>(firmware_.get()); }
    void SetFirmware(std::unique_ptr<ControllerFirmware> firmware) {
        firmware_ = std::move(firmware);
    }

    ControllerHooks& Hooks() { return *hooks_; }
    void SetHooks(std::shared_ptr<ControllerHooks> hooks);

    // Controller state kept by the default hooks.
    bool CpuHeldInReset() const { return cpuHeld_; }
    void SetCpuHeldInReset(bool held) { cpuHeld_ = held; }
    std::vector<std::uint8_t>& ControllerRam() { return ram_; }
    const std::vector<VendorRequest>& VendorRequests() const { return vendorRequests_; }
    void NoteVendorRequest(const VendorRequest& r) { vendorRequests_.push_back(r); }

    // Fault injection. CheckFault counts the request and returns the error it must fail with.
    void AddFault(FaultRule rule);
    void ClearFaults();
    std::optional<platform::DWORD> CheckFault(platform::DWORD code);
    // Requests of this code that reached the driver for this board.
    std::uint32_t RequestCount(platform::DWORD code) const;

private:
    struct ArmedFault {
        FaultRule rule;
        std::uint32_t seen = 0;
        bool fired = false;
    };

    int id_;
    BoardConfig config_;
    DspHostInterface dsp_;
    std::unique_ptr<ControllerFirmware> firmware_;
    std::shared_ptr<ControllerHooks> hooks_;
    bool cpuHeld_ = false;
    std::vector<std::uint8_t> ram_;
    std::vector<VendorRequest> vendorRequests_;
    std::vector<ArmedFault> faults_;
    std::vector<std::pair<platform::DWORD, std::uint32_t>> requestCounts_;
};

} // namespace flashwell::sim
