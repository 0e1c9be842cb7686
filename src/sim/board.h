// A physical board (or bare EZ-USB controller) on the bus. It outlives the Windows device node
// it shows up as: unplugging and replugging, or a controller that re-enumerates under another
// identity, keeps the same Board with its DSP, memory and EEPROM.
#pragma once

#include "platform/os_port.h"
#include "sim/controller_firmware.h"
#include "sim/dsp_host_interface.h"
#include "sim/dsp_programs.h"
#include "sim/flash_memory.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace flashwell::sim {

inline constexpr platform::GUID kBoardInterfaceGuid{
    0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

// The device interface class of boards bound to WinUSB, as the INF that binds them registers it.
inline constexpr platform::GUID kWinUsbInterfaceGuid{
    0x8C3A1F52, 0x6D2E, 0x4B7A, {0x9E, 0x41, 0x2F, 0x5C, 0x7D, 0x90, 0xAB, 0x13}};

enum class DeviceKind {
    UsbBoard1801,  // the board this tool updates
    UsbBoard1802,  // partner product, listed but not ours
    PciBoard,      // same DSP board on the PCI bus
    EzUsbBoot8613, // controller without firmware, identity 04b4:8613
    EzUsbBoot2131, // controller without firmware, identity 0547:2131
    OtherUsb,      // any other USB identity (BoardConfig::otherIdentity)
};

// True for the kinds that come up running the board firmware.
bool RunsBoardFirmware(DeviceKind kind);

struct UsbIdentity {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    bool operator==(const UsbIdentity&) const = default;
};

inline constexpr UsbIdentity kBoardIdentity{0x1057, 0x1801};
inline constexpr UsbIdentity kPartnerIdentity{0x1057, 0x1802};
inline constexpr UsbIdentity kBootStateIdentity{0x04B4, 0x8613};
inline constexpr UsbIdentity kOldBootStateIdentity{0x0547, 0x2131};

DeviceKind KindForIdentity(UsbIdentity identity);
// "1057:1801"
std::string IdentityText(UsbIdentity identity);

// The identity in the first USB device descriptor found in a controller's memory image: 18
// bytes starting 0x12 0x01, a plausible bcdUSB and control packet size, idVendor and idProduct
// low byte first.
std::optional<UsbIdentity> FindDeviceDescriptor(std::span<const std::uint8_t> memory);

// The controller's memory as its loader request (0xA0, wValue the address) reaches it, after
// the chip's technical reference for the 04b4:8613 controller (the larger of its two RAM sizes):
// 16 KB of program and data RAM from 0x0000, 512 bytes of scratch RAM from 0xE000, and of the
// registers only the CPU control and status register at 0xE600, whose bit 0 holds the CPU in
// reset. A write anywhere else is acknowledged and goes nowhere; a read there gives 0 (the
// reference names no value). The 0547:2131 controller is given the same map.
namespace controller_memory {
inline constexpr std::uint16_t kCpuControl = 0xE600;
inline constexpr std::size_t kRamEnd = 0x4000;
inline constexpr std::size_t kScratchStart = 0xE000;
inline constexpr std::size_t kScratchEnd = 0xE200;
inline bool IsRam(std::size_t address) {
    return address < kRamEnd || (address >= kScratchStart && address < kScratchEnd);
}
} // namespace controller_memory

// The identity of the device descriptor a program started in the controller serves: it can
// only point the chip's descriptor pointer at its own RAM, and only at an even address.
std::optional<UsbIdentity> ProgramDescriptor(std::span<const std::uint8_t> memory);

// What the DSP runs after a power cycle.
enum class DspStartup {
    Loader,      // a boot program from flash: takes a program after host command 5
    FlashAccess, // already running the flash-access program
    Idle,        // runs nothing the host can talk to
};

// Faults of the board's memories and programs, armed on a running board through
// Board::Faults(). Ordinals count from 1 and from the moment the counters were last reset
// (Board::ResetFaultCounters).
struct BoardFaults {
    // Write-block requests of the flash-access program that fail: status 1, nothing written.
    std::vector<std::uint32_t> failBlockWrites;
    // Erase requests that fail: status 1, nothing erased.
    std::vector<std::uint32_t> failErases;
    // EEPROM address -> the write (1, 2, ...) from which on a write of it takes; earlier writes
    // store the complement of the byte, so it reads back wrong. 0: no write ever takes.
    std::map<std::uint16_t, std::uint32_t> eepromWriteTakesAt;
    // A controller that leaves the bus to re-enumerate stays away until SimWorld::Reconnect.
    bool reenumerationNeedsReconnect = false;
};

// One request the flash-access program carried out (or refused), for tests.
struct FlashOperation {
    enum class Kind { Read, Write, Erase, SelectBank };
    Kind kind = Kind::Read;
    int bank = 0;
    std::uint32_t address = 0;
    std::uint32_t count = 0;
    std::uint32_t status = 0;
};

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

// How long the board's programs and memories take, in virtual milliseconds. The defaults are
// 60 to 90 % of the pauses the host keeps (docs/simulation.md), so a host that keeps its pauses
// always finds the board ready and one that cuts them short finds it busy.
struct BoardTiming {
    // After host command 5, until the running program takes program words (host: 100 + 500 ms).
    // Words that come earlier are lost.
    std::uint64_t loadPrepareMs = 450;
    // After the last word of a loaded program, until that program takes host commands (host:
    // 1000 ms before the first request). Commands and words that come earlier are lost.
    std::uint64_t programStartMs = 700;
    // After a write-block request, until the flash-access program has prepared the block and
    // takes its words (host: 1000 ms). Words that come earlier are lost.
    std::uint64_t blockPrepareMs = 750;
    // After a block's last word, until the block is written and its status word is ready (host:
    // 2000 ms). Until then the program takes no command.
    std::uint64_t blockWriteMs = 1500;
    // An erase request, until the sector is erased and its status word comes (host: reads the
    // status at once, then keeps 2000 ms). The host's read waits for it.
    std::uint64_t eraseMs = 1200;
    // An EEPROM byte's write cycle (host: 2 + n ms, n from 1): the EEPROM answers no read and
    // takes no write until it is over.
    std::uint64_t eepromWriteCycleMs = 2;
};

// What the board is being written with, as the board itself tells: the EEPROM, the FPGA's
// configuration area, the second bank, the parameter block, the boot program.
enum class BoardArea { None, Eeprom, Fpga, SecondBank, ParameterBlock, BootProgram };

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

    // Bound to WinUSB instead of the board driver: listed under kWinUsbInterfaceGuid, opened
    // and served through WinUSB only. What its calls fail with once it is unplugged: WinUSB's
    // documentation names nothing, and ERROR_BAD_COMMAND, ERROR_GEN_FAILURE and
    // ERROR_DEVICE_NOT_CONNECTED are each seen.
    bool winUsb = false;
    platform::DWORD winUsbGoneError = platform::kErrorBadCommand;

    // A bench that goes wrong on purpose: the board is pulled (ERROR_DEVICE_NOT_CONNECTED) at
    // the first write into this area, or every write into it fails.
    BoardArea pullAt = BoardArea::None;
    BoardArea failAt = BoardArea::None;

    // Identity of an OtherUsb device.
    UsbIdentity otherIdentity;
    // Answer of the flash-access program's query 127.
    std::int32_t subId = 0;
    DspStartup dspAtPowerUp = DspStartup::Loader;
    std::size_t eepromSize = 16 * 1024;
    // How long a controller that starts a downloaded program stays off the bus (host: 2000 +
    // 500 ms before it opens the board again).
    std::uint64_t reenumerationDelayMs = 1500;
    // How long the boot program takes to write itself into the boot area (host: 5 x 800 ms).
    std::uint64_t bootProgramWriteMs = 3000;
    BoardTiming timing;
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

// What a board needs of the machine it is plugged into: the bus and the clock.
class BoardBus {
public:
    virtual ~BoardBus() = default;
    // The board's interface leaves the list; open handles fail with `error`.
    virtual void Leave(Board& board, platform::DWORD error) = 0;
    // The board's interface appears under its current identity.
    virtual void Arrive(Board& board) = 0;
    virtual bool Present(const Board& board) const = 0;
    virtual std::uint64_t NowMs() const = 0;
    // Lets time pass until then (a transfer that waits for the board).
    virtual void WaitUntil(std::uint64_t ms) = 0;
};

// Extension points for what lies behind the controller. The defaults run the controller model
// of the Board. In the boot state (no program has re-enumerated the controller) the chip itself
// answers request 0xA0 in both directions, at any length including none and whatever its CPU
// does, through the memory map above: bit 0 written to 0xE600 holds (1) or releases (0) the
// CPU; any other vendor request stalls. Once the board firmware runs, it takes only request
// 0xA0 on register 0xE600 with data byte 1 or 0, and the RAM download only while its CPU is
// held (otherwise it fails with 31 and changes nothing). The EEPROM packets reach the board's
// EEPROM. Overrides may call the defaults.
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
    // ControllerRam() spans the 64 KB the loader request can name; only the addresses of
    // controller_memory::IsRam ever change.
    static constexpr std::size_t kControllerRamSize = 0x10000;

    Board(int id, BoardConfig config, BoardBus* bus = nullptr);
    // The board as it is now, plugged into `bus` (a copy of the machine it was plugged into):
    // memories, controller, DSP, the programs they run, faults and counters alike. Throws
    // std::logic_error when a program or the controller hooks are ones a test made itself.
    Board(const Board& other, BoardBus* bus);
    // Takes on everything of `other` as the copy above does, staying on its own bus; reuses
    // its memories' storage, which a copy has to make anew.
    Board& operator=(const Board& other);
    Board(const Board&) = delete;

    int Id() const { return id_; }
    const BoardConfig& Config() const { return config_; }
    // Settings may be changed while the world runs (versions, speed, open errors, identity).
    BoardConfig& MutableConfig() { return config_; }

    DeviceKind Kind() const { return config_.kind; }
    std::string DevicePath() const;
    // The device interface class the board is listed under.
    const platform::GUID& InterfaceGuid() const {
        return config_.winUsb ? kWinUsbInterfaceGuid : config_.interfaceGuid;
    }
    // "\\.\OV4USB-n" or "\\.\TRAVIO-n", if the driver offers one for this device.
    std::optional<std::string> SymbolicName() const;

    DspHostInterface& Dsp() override { return dsp_; }
    bool HighSpeed() const override { return config_.highSpeed; }
    void EepromWrite(std::uint16_t address, std::uint8_t data) override;
    std::optional<std::uint8_t> EepromRead(std::uint16_t address) override;
    void WaitUntil(std::uint64_t ms) override {
        if (bus_ != nullptr) bus_->WaitUntil(ms);
    }

    // Nothing while the controller has no firmware (boot state) or its CPU is held.
    ControllerFirmware* Firmware() { return cpuHeld_ ? nullptr : firmware_.get(); }
    // The board firmware, when that is what runs (test inspection).
    BoardFirmware* RunningBoardFirmware() { return dynamic_cast<BoardFirmware*>(firmware_.get()); }
    void SetFirmware(std::unique_ptr<ControllerFirmware> firmware) {
        firmware_ = std::move(firmware);
    }

    ControllerHooks& Hooks() { return *hooks_; }
    void SetHooks(std::shared_ptr<ControllerHooks> hooks);

    // Controller state kept by the default hooks.
    // No program has re-enumerated the controller: the chip answers its loader request itself.
    bool InBootState() const { return firmware_ == nullptr; }
    // The loader request's access to the controller's memory (controller_memory above).
    void LoaderWrite(std::uint16_t address, std::span<const std::uint8_t> bytes);
    void LoaderRead(std::uint16_t address, std::span<std::uint8_t> bytes) const;
    bool CpuHeldInReset() const { return cpuHeld_; }
    void SetCpuHeldInReset(bool held) { cpuHeld_ = held; }
    // Hold or release the CPU. Releasing it starts the program in RAM: with a device descriptor
    // where a program serves one from (ProgramDescriptor) the controller leaves the bus (open
    // handles fail with 1167) and comes back after reenumerationDelayMs with the descriptor's
    // identity, running the board firmware when that identity is a board's; without one it stays as
    // it is, running nothing.
    void ControlCpu(bool hold);
    UsbIdentity Identity() const;
    std::vector<std::uint8_t>& ControllerRam() { return ram_; }
    const std::vector<VendorRequest>& VendorRequests() const { return vendorRequests_; }
    void NoteVendorRequest(const VendorRequest& r) { vendorRequests_.push_back(r); }

    // --- Memories and programs ----------------------------------------------------------
    std::span<const std::uint8_t> Eeprom() const { return eeprom_; }
    std::vector<std::uint8_t>& MutableEeprom() { return eeprom_; }
    // The EEPROM as the controller's I2C bus sees it: addresses wrap at the EEPROM's size,
    // writes take at once (unless a fault says otherwise).
    void EepromStore(std::uint16_t address, std::uint8_t data);
    std::uint8_t EepromFetch(std::uint16_t address) const;
    // Within the write cycle of the last byte written.
    bool EepromBusy() const { return NowMs() < eepromBusyUntil_; }
    FlashMemory& Flash() { return flash_; }
    const FlashMemory& Flash() const { return flash_; }
    std::int32_t SubId() const { return config_.subId; }
    std::uint64_t NowMs() const { return bus_ ? bus_->NowMs() : 0; }
    // Whether the board's interface is in the device list now.
    bool OnBus() const { return bus_ == nullptr || bus_->Present(*this); }
    DspProgramKind DspRuns();

    // A new board's EEPROM makes it come back as the kind it was created as (InitialEeprom in
    // board_contents.h); its flash is erased.
    // Restarts the board from its EEPROM and flash: it leaves the bus and comes back at once
    // under the identity its EEPROM gives (0xC2: the loaded records' descriptor, once their
    // closing write to 0xE600 has let the CPU run; 0xC0: the header's vendor and product, no
    // firmware; otherwise 04b4:8613, no firmware). Controller RAM cleared, and its CPU held in
    // reset as the chip comes up, unless the records released it; DSP FIFOs cleared and running its
    // dspAtPowerUp program (nothing when a boot program's write into the boot area was cut by an
    // earlier power cycle), flash bank 0. Work in progress (re-enumeration, boot program write) is
    // lost. A PCI board keeps its identity.
    void PowerCycle();
    // Carries out what is due at the current time (called before every OS call).
    void Poll();
    bool ReenumerationPending() const { return arrival_.has_value(); }
    // Brings a pending re-enumeration back at once (the user replugging the board).
    void CompleteReenumeration();

    // Called by the DSP programs.
    void StartDspImage(const std::vector<std::uint32_t>& image);
    void BeginBootProgramWrite(std::vector<std::uint32_t> image);
    bool BootProgramWritePending() const { return bootWrite_.has_value(); }
    bool NextBlockWriteFails();
    // A write into `area` begins: false when the write is to fail; a pull due is done at the
    // next poll, so that the request under way still ends.
    bool WriteInto(BoardArea area);
    bool NextEraseFails();
    void NoteFlashOperation(const FlashOperation& op) { flashLog_.push_back(op); }
    const std::vector<FlashOperation>& FlashOperations() const { return flashLog_; }

    BoardFaults& Faults() { return boardFaults_; }
    void ResetFaultCounters();
    // The n-th words (counting from 1, from now on) the host reads from the DSP are lost on the
    // way: the firmware delivers FailureWord (0x55000000) in their place.
    void FailAnswerWords(std::initializer_list<std::uint64_t> ordinals);

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

    struct PendingArrival {
        std::uint64_t atMs;
        UsbIdentity identity;
    };
    struct BootWrite {
        std::uint64_t startMs;
        std::vector<std::uint32_t> image;
    };

    void SetIdentity(UsbIdentity identity, bool firmwareRuns);
    void LoadPowerUpProgram();

    int id_;
    BoardConfig config_;
    BoardBus* bus_;
    DspHostInterface dsp_;
    std::vector<std::uint8_t> eeprom_;
    FlashMemory flash_;
    std::optional<PendingArrival> arrival_;
    std::optional<BootWrite> bootWrite_;
    // A power cycle cut the boot program's write: the DSP starts nothing until one completes.
    bool bootAreaTorn_ = false;
    BoardFaults boardFaults_;
    std::uint32_t blockWrites_ = 0;
    bool pullDue_ = false;
    bool pulled_ = false;
    std::uint32_t erases_ = 0;
    std::map<std::uint16_t, std::uint32_t> eepromWrites_;
    std::uint64_t eepromBusyUntil_ = 0;
    std::vector<FlashOperation> flashLog_;
    std::unique_ptr<ControllerFirmware> firmware_;
    std::shared_ptr<ControllerHooks> hooks_;
    bool cpuHeld_ = false;
    std::vector<std::uint8_t> ram_;
    std::vector<VendorRequest> vendorRequests_;
    std::vector<ArmedFault> faults_;
    std::vector<std::pair<platform::DWORD, std::uint32_t>> requestCounts_;
};

} // namespace flashwell::sim
