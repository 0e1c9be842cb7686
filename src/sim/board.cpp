#include "sim/board.h"

#include "boarddata/images/images.h"
#include "sim/board_contents.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <typeinfo>

namespace flashwell::sim {

namespace {

constexpr std::uint8_t kBootRecordsMarker = 0xC2;
constexpr std::uint8_t kBootIdentityMarker = 0xC0;
constexpr std::size_t kBootHeaderSize = 8;
constexpr std::size_t kMinimumEepromSize = 4096;

UsbIdentity HeaderIdentity(std::span<const std::uint8_t> eeprom) {
    return {static_cast<std::uint16_t>(eeprom[1] | eeprom[2] << 8),
            static_cast<std::uint16_t>(eeprom[3] | eeprom[4] << 8)};
}

// Loads the records after the 0xC2 header as the chip's boot loader does, through the same
// memory map as the loader request; returns whether a record let the CPU run (the image's
// closing write of 0 to 0xE600). The CPU starts only once the power cycle is over.
bool LoadBootRecords(std::span<const std::uint8_t> eeprom, std::vector<std::uint8_t>& ram) {
    bool runs = false;
    std::size_t pos = kBootHeaderSize;
    while (pos + 4 <= eeprom.size()) {
        const unsigned length = static_cast<unsigned>(eeprom[pos] << 8 | eeprom[pos + 1]);
        const std::size_t address =
            static_cast<std::size_t>(eeprom[pos + 2] << 8 | eeprom[pos + 3]);
        const std::size_t n = length & 0x3FF;
        if (pos + 4 + n > eeprom.size()) break;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t byte = eeprom[pos + 4 + i];
            if (controller_memory::IsRam(address + i))
                ram[address + i] = byte;
            else if (address + i == controller_memory::kCpuControl)
                runs = (byte & 1) == 0;
        }
        pos += 4 + n;
        if ((length & 0x8000) != 0) break;
    }
    return runs;
}

template <std::size_t N>
bool SameWords(const std::vector<std::uint32_t>& words, std::span<const std::uint32_t, N> image) {
    return std::equal(words.begin(), words.end(), image.begin(), image.end());
}

} // namespace

bool RunsBoardFirmware(DeviceKind kind) {
    return kind == DeviceKind::UsbBoard1801 || kind == DeviceKind::UsbBoard1802 ||
           kind == DeviceKind::PciBoard;
}

DeviceKind KindForIdentity(UsbIdentity identity) {
    if (identity == kBoardIdentity) return DeviceKind::UsbBoard1801;
    if (identity == kPartnerIdentity) return DeviceKind::UsbBoard1802;
    if (identity == kBootStateIdentity) return DeviceKind::EzUsbBoot8613;
    if (identity == kOldBootStateIdentity) return DeviceKind::EzUsbBoot2131;
    return DeviceKind::OtherUsb;
}

std::string IdentityText(UsbIdentity identity) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", identity.vendor, identity.product);
    return text;
}

std::optional<UsbIdentity> FindDeviceDescriptor(std::span<const std::uint8_t> memory) {
    constexpr std::size_t kLength = 18;
    for (std::size_t i = 0; i + kLength <= memory.size(); ++i) {
        const std::uint8_t* d = memory.data() + i;
        if (d[0] != 0x12 || d[1] != 0x01) continue;
        const unsigned bcdUsb = static_cast<unsigned>(d[2] | d[3] << 8);
        const unsigned packet = d[7];
        const bool plausible = (bcdUsb == 0x0100 || bcdUsb == 0x0110 || bcdUsb == 0x0200) &&
                               (packet == 8 || packet == 16 || packet == 32 || packet == 64) &&
                               d[17] >= 1;
        if (!plausible) continue;
        return UsbIdentity{static_cast<std::uint16_t>(d[8] | d[9] << 8),
                           static_cast<std::uint16_t>(d[10] | d[11] << 8)};
    }
    return std::nullopt;
}

std::optional<UsbIdentity> ProgramDescriptor(std::span<const std::uint8_t> memory) {
    constexpr std::size_t kLength = 18;
    for (std::size_t a = 0; a + kLength <= memory.size(); a += 2) {
        if (!controller_memory::IsRam(a) || !controller_memory::IsRam(a + kLength - 1)) continue;
        if (const auto identity = FindDeviceDescriptor(memory.subspan(a, kLength))) return identity;
    }
    return std::nullopt;
}

VendorRequest VendorRequest::Parse(std::span<const std::uint8_t, 10> b) {
    VendorRequest r;
    r.request = b[0];
    r.value = static_cast<std::uint16_t>(b[2] | b[3] << 8);
    r.index = static_cast<std::uint16_t>(b[4] | b[5] << 8);
    r.length = static_cast<std::uint16_t>(b[6] | b[7] << 8);
    r.direction = b[8];
    r.data = b[9];
    return r;
}

platform::DWORD ControllerHooks::OnVendorRequest(Board& board, const VendorRequest& request,
                                                 std::span<std::uint8_t> data,
                                                 platform::DWORD& bytesReturned) {
    constexpr std::uint8_t kFirmwareLoad = 0xA0;
    constexpr std::uint16_t kOneByte = 1;
    constexpr std::uint8_t kHostToDevice = 0;
    board.NoteVendorRequest(request);
    bytesReturned = 0;
    if (board.InBootState()) {
        // The chip serves its loader request itself and stalls every other vendor request. Its
        // wIndex means nothing to it. Through the driver's record a write carries one byte.
        if (request.request != kFirmwareLoad) return platform::kErrorGenFailure;
        if (request.direction != kHostToDevice) {
            const std::size_t n = std::min<std::size_t>(request.length, data.size());
            board.LoaderRead(request.value, data.first(n));
            bytesReturned = static_cast<platform::DWORD>(n);
            return platform::kErrorSuccess;
        }
        if (request.length > kOneByte) return platform::kErrorGenFailure;
        if (request.length == kOneByte) board.LoaderWrite(request.value, {&request.data, 1});
        return platform::kErrorSuccess;
    }
    // The board firmware answers only the one request the host has any business sending: one
    // byte written to the CPU control register, 1 holding the CPU and 0 releasing it. Anything
    // else stalls the control pipe.
    const bool cpuControl = request.request == kFirmwareLoad &&
                            request.value == controller_memory::kCpuControl && request.index == 0 &&
                            request.length == kOneByte && request.direction == kHostToDevice &&
                            request.data <= 1;
    if (!cpuControl) return platform::kErrorGenFailure;
    board.ControlCpu(request.data == 1);
    return platform::kErrorSuccess;
}

platform::DWORD ControllerHooks::OnLoadMemory(Board& board, std::uint16_t address,
                                              std::span<const std::uint8_t> bytes) {
    // The board firmware's CPU would trip over its own code being replaced; the chip in its
    // boot state takes the download whatever its CPU does.
    if (!board.InBootState() && !board.CpuHeldInReset()) return platform::kErrorGenFailure;
    board.LoaderWrite(address, bytes);
    return platform::kErrorSuccess;
}

void ControllerHooks::OnEepromWrite(Board& board, std::uint16_t address, std::uint8_t data) {
    // An EEPROM in its write cycle does not acknowledge: the byte is lost.
    if (board.EepromBusy() || !board.WriteInto(BoardArea::Eeprom)) return;
    board.EepromStore(address, data);
}

std::optional<std::uint8_t> ControllerHooks::OnEepromRead(Board& board, std::uint16_t address) {
    if (board.EepromBusy()) return std::nullopt;
    return board.EepromFetch(address);
}

Board::Board(int id, BoardConfig config, BoardBus* bus)
    : id_(id), config_(std::move(config)), bus_(bus),
      eeprom_(std::max(config_.eepromSize, kMinimumEepromSize), 0xFF),
      hooks_(std::make_shared<ControllerHooks>()), ram_(kControllerRamSize, 0) {
    if (RunsBoardFirmware(config_.kind))
        firmware_ = std::make_unique<BoardFirmware>(config_.firmwareVersion, *this);
    // A controller that comes up without a program has its CPU held in reset.
    cpuHeld_ = firmware_ == nullptr;
    for (const FaultRule& rule : config_.faults)
        AddFault(rule);
    const auto initial = InitialEeprom(config_.kind, Identity());
    std::copy_n(initial.begin(), std::min(initial.size(), eeprom_.size()), eeprom_.begin());
    LoadPowerUpProgram();
}

Board::Board(const Board& other, BoardBus* bus) : id_(other.id_), bus_(bus) {
    *this = other;
}

Board& Board::operator=(const Board& other) {
    if (this == &other) return *this;
    // The default hooks keep no state of their own and can serve both boards; others might.
    const ControllerHooks& hooks = *other.hooks_;
    if (typeid(hooks) != typeid(ControllerHooks))
        throw std::logic_error("a board with controller hooks of its own cannot be copied");
    // A firmware of the same kind takes on the other's state in place.
    if (!other.firmware_) {
        firmware_.reset();
    } else if (!firmware_ || !firmware_->AssignFrom(*other.firmware_, *this)) {
        auto firmware = other.firmware_->CopyFor(*this);
        if (!firmware)
            throw std::logic_error("a controller firmware of this kind cannot be copied");
        firmware_ = std::move(firmware);
    }
    dsp_.Assign(other.dsp_, *this);
    id_ = other.id_;
    config_ = other.config_;
    eeprom_ = other.eeprom_;
    flash_ = other.flash_;
    arrival_ = other.arrival_;
    bootWrite_ = other.bootWrite_;
    bootAreaTorn_ = other.bootAreaTorn_;
    boardFaults_ = other.boardFaults_;
    blockWrites_ = other.blockWrites_;
    erases_ = other.erases_;
    eepromWrites_ = other.eepromWrites_;
    eepromBusyUntil_ = other.eepromBusyUntil_;
    flashLog_ = other.flashLog_;
    hooks_ = other.hooks_;
    cpuHeld_ = other.cpuHeld_;
    ram_ = other.ram_;
    vendorRequests_ = other.vendorRequests_;
    faults_ = other.faults_;
    requestCounts_ = other.requestCounts_;
    return *this;
}

UsbIdentity Board::Identity() const {
    switch (config_.kind) {
    case DeviceKind::UsbBoard1801:
    case DeviceKind::PciBoard:
        return kBoardIdentity;
    case DeviceKind::UsbBoard1802:
        return kPartnerIdentity;
    case DeviceKind::EzUsbBoot8613:
        return kBootStateIdentity;
    case DeviceKind::EzUsbBoot2131:
        return kOldBootStateIdentity;
    case DeviceKind::OtherUsb:
        return config_.otherIdentity;
    }
    return {};
}

void Board::SetIdentity(UsbIdentity identity, bool programRuns) {
    config_.kind = KindForIdentity(identity);
    if (config_.kind == DeviceKind::OtherUsb) config_.otherIdentity = identity;
    if (programRuns && RunsBoardFirmware(config_.kind))
        firmware_ = std::make_unique<BoardFirmware>(config_.firmwareVersion, *this);
    else
        firmware_.reset();
}

void Board::ControlCpu(bool hold) {
    if (hold) {
        cpuHeld_ = true;
        return;
    }
    if (!cpuHeld_) return;
    cpuHeld_ = false;
    firmware_.reset();
    const auto identity = ProgramDescriptor(ram_);
    if (!identity) return;
    // The started program disconnects and enumerates anew with its own descriptor.
    arrival_ = PendingArrival{NowMs() + config_.reenumerationDelayMs, *identity};
    if (bus_ == nullptr) {
        CompleteReenumeration();
        return;
    }
    bus_->Leave(*this, platform::kErrorDeviceNotConnected);
}

void Board::LoaderWrite(std::uint16_t address, std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::size_t at = address + i;
        if (controller_memory::IsRam(at))
            ram_[at] = bytes[i];
        else if (at == controller_memory::kCpuControl)
            ControlCpu((bytes[i] & 1) != 0);
    }
}

void Board::LoaderRead(std::uint16_t address, std::span<std::uint8_t> bytes) const {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::size_t at = address + i;
        bytes[i] = controller_memory::IsRam(at)           ? ram_[at]
                   : at == controller_memory::kCpuControl ? static_cast<std::uint8_t>(cpuHeld_)
                                                          : 0;
    }
}

void Board::CompleteReenumeration() {
    if (!arrival_) return;
    const UsbIdentity identity = arrival_->identity;
    arrival_.reset();
    SetIdentity(identity, true);
    if (bus_ != nullptr) bus_->Arrive(*this);
}

void Board::Poll() {
    if (pullDue_) {
        pullDue_ = false;
        pulled_ = true;
        if (bus_ != nullptr) bus_->Leave(*this, platform::kErrorDeviceNotConnected);
        return;
    }
    const std::uint64_t now = NowMs();
    if (arrival_ && !boardFaults_.reenumerationNeedsReconnect && now >= arrival_->atMs)
        CompleteReenumeration();
    if (bootWrite_ && now - bootWrite_->startMs >= config_.bootProgramWriteMs) {
        std::vector<std::uint8_t> bytes;
        bytes.reserve(bootWrite_->image.size() * 3);
        for (std::uint32_t w : bootWrite_->image) {
            bytes.push_back(static_cast<std::uint8_t>(w >> 16));
            bytes.push_back(static_cast<std::uint8_t>(w >> 8));
            bytes.push_back(static_cast<std::uint8_t>(w));
        }
        flash_.Program(0, flash_layout::kBootArea,
                       std::span<const std::uint8_t>(bytes).first(
                           std::min(bytes.size(), flash_layout::kBootAreaSize)));
        bootWrite_.reset();
        bootAreaTorn_ = false;
    }
}

void Board::PowerCycle() {
    if (bus_ != nullptr) bus_->Leave(*this, platform::kErrorDeviceNotConnected);
    arrival_.reset();
    // A boot program cut off while it wrote itself leaves an area the DSP cannot start from.
    if (bootWrite_) bootAreaTorn_ = true;
    bootWrite_.reset();
    // The chip comes up with its CPU in reset; only its boot loader's last record lets it run.
    cpuHeld_ = true;
    firmware_.reset();
    eepromBusyUntil_ = 0;
    std::fill(ram_.begin(), ram_.end(), std::uint8_t{0});
    if (config_.kind == DeviceKind::PciBoard) {
        cpuHeld_ = false;
        firmware_ = std::make_unique<BoardFirmware>(config_.firmwareVersion, *this);
    } else if (eeprom_[0] == kBootRecordsMarker) {
        const bool runs = LoadBootRecords(eeprom_, ram_);
        cpuHeld_ = !runs;
        const auto identity = runs ? ProgramDescriptor(ram_) : std::nullopt;
        if (identity)
            SetIdentity(*identity, true);
        else
            SetIdentity(HeaderIdentity(eeprom_), false);
    } else if (eeprom_[0] == kBootIdentityMarker) {
        SetIdentity(HeaderIdentity(eeprom_), false);
    } else {
        SetIdentity(kBootStateIdentity, false);
    }
    dsp_.Reset();
    LoadPowerUpProgram();
    flash_.SelectBank(0);
    if (bus_ != nullptr) bus_->Arrive(*this);
}

void Board::LoadPowerUpProgram() {
    if (bootAreaTorn_) {
        dsp_.LoadProgram(std::make_unique<IdleDspProgram>());
        return;
    }
    switch (config_.dspAtPowerUp) {
    case DspStartup::Loader:
        dsp_.LoadProgram(std::make_unique<LoaderDspProgram>(*this));
        break;
    case DspStartup::FlashAccess:
        dsp_.LoadProgram(std::make_unique<FlashAccessDspProgram>(*this));
        break;
    case DspStartup::Idle:
        dsp_.LoadProgram(std::make_unique<IdleDspProgram>());
        break;
    }
}

DspProgramKind Board::DspRuns() {
    DspProgram& program = dsp_.Program();
    if (const auto* own = dynamic_cast<const BoardDspProgram*>(&program)) return own->Kind();
    if (dynamic_cast<const IdleDspProgram*>(&program) != nullptr) return DspProgramKind::Idle;
    return DspProgramKind::Custom;
}

void Board::StartDspImage(const std::vector<std::uint32_t>& image) {
    std::unique_ptr<BoardDspProgram> program;
    if (SameWords(image, images::FlashProgramImage())) {
        program = std::make_unique<FlashAccessDspProgram>(*this);
    } else if (SameWords(image, images::BootProgramImage())) {
        BeginBootProgramWrite(image);
        program = std::make_unique<BootDspProgram>(*this);
    } else {
        program = std::make_unique<UnknownDspProgram>(*this);
    }
    program->StartsAt(NowMs() + config_.timing.programStartMs);
    dsp_.LoadProgram(std::move(program));
}

void Board::BeginBootProgramWrite(std::vector<std::uint32_t> image) {
    if (!WriteInto(BoardArea::BootProgram)) image.assign(image.size(), 0xFFFFFF);
    // The area is cleared at once: a write cut short leaves it erased.
    flash_.Erase(0, flash_layout::kBootArea, flash_layout::kBootAreaSize);
    bootWrite_ = BootWrite{NowMs(), std::move(image)};
}

bool Board::WriteInto(BoardArea area) {
    if (area == config_.pullAt && !pulled_) pullDue_ = true;
    return area != config_.failAt;
}

bool Board::NextBlockWriteFails() {
    const auto& fails = boardFaults_.failBlockWrites;
    return std::find(fails.begin(), fails.end(), ++blockWrites_) != fails.end();
}

bool Board::NextEraseFails() {
    const auto& fails = boardFaults_.failErases;
    return std::find(fails.begin(), fails.end(), ++erases_) != fails.end();
}

void Board::ResetFaultCounters() {
    blockWrites_ = 0;
    erases_ = 0;
    eepromWrites_.clear();
}

void Board::FailAnswerWords(std::initializer_list<std::uint64_t> ordinals) {
    for (std::uint64_t n : ordinals)
        dsp_.LoseHostRead(dsp_.HostReadCount() + n);
}

void Board::EepromStore(std::uint16_t address, std::uint8_t data) {
    const std::size_t at = address % eeprom_.size();
    const auto key = static_cast<std::uint16_t>(at);
    const std::uint32_t nth = ++eepromWrites_[key];
    const auto fault = boardFaults_.eepromWriteTakesAt.find(key);
    const bool takes = fault == boardFaults_.eepromWriteTakesAt.end() ||
                       (fault->second != 0 && nth >= fault->second);
    eeprom_[at] = takes ? data : static_cast<std::uint8_t>(~data);
    eepromBusyUntil_ = NowMs() + config_.timing.eepromWriteCycleMs;
}

std::uint8_t Board::EepromFetch(std::uint16_t address) const {
    return eeprom_[address % eeprom_.size()];
}

std::string Board::DevicePath() const {
    if (!config_.devicePathOverride.empty()) return config_.devicePathOverride;
    std::string hardware;
    std::string bus = "usb";
    switch (config_.kind) {
    case DeviceKind::UsbBoard1801:
        hardware = "vid_1057&pid_1801";
        break;
    case DeviceKind::UsbBoard1802:
        hardware = "vid_1057&pid_1802";
        break;
    case DeviceKind::PciBoard:
        bus = "pci";
        hardware = "ven_1057&dev_1801&subsys_00000000&rev_01";
        break;
    case DeviceKind::EzUsbBoot8613:
        hardware = "vid_04b4&pid_8613";
        break;
    case DeviceKind::EzUsbBoot2131:
        hardware = "vid_0547&pid_2131";
        break;
    case DeviceKind::OtherUsb: {
        char text[24];
        std::snprintf(text, sizeof text, "vid_%04x&pid_%04x", config_.otherIdentity.vendor,
                      config_.otherIdentity.product);
        hardware = text;
        break;
    }
    }
    const platform::GUID& g = InterfaceGuid();
    char guid[40];
    std::snprintf(guid, sizeof guid, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return "\\\\?\\" + bus + "#" + hardware + "#" + config_.instanceId + "#" + guid;
}

std::optional<std::string> Board::SymbolicName() const {
    if (!config_.symbolicNumber) return std::nullopt;
    const std::string n = std::to_string(*config_.symbolicNumber);
    if (config_.kind == DeviceKind::UsbBoard1801) return "\\\\.\\OV4USB-" + n;
    if (config_.kind == DeviceKind::UsbBoard1802) return "\\\\.\\TRAVIO-" + n;
    return std::nullopt;
}

void Board::EepromWrite(std::uint16_t address, std::uint8_t data) {
    hooks_->OnEepromWrite(*this, address, data);
}

std::optional<std::uint8_t> Board::EepromRead(std::uint16_t address) {
    return hooks_->OnEepromRead(*this, address);
}

void Board::SetHooks(std::shared_ptr<ControllerHooks> hooks) {
    hooks_ = hooks ? std::move(hooks) : std::make_shared<ControllerHooks>();
}

void Board::AddFault(FaultRule rule) {
    faults_.push_back({rule, false});
}

void Board::ClearFaults() {
    faults_.clear();
}

std::uint32_t Board::RequestCount(platform::DWORD code) const {
    for (const auto& [c, n] : requestCounts_)
        if (c == code) return n;
    return 0;
}

std::optional<platform::DWORD> Board::CheckFault(platform::DWORD code) {
    auto it = std::find_if(requestCounts_.begin(), requestCounts_.end(),
                           [&](const auto& e) { return e.first == code; });
    if (it == requestCounts_.end()) it = requestCounts_.insert(it, {code, 0});
    ++it->second;

    // Every matching rule counts the call, also when an earlier rule already fails it.
    std::optional<platform::DWORD> error;
    for (ArmedFault& f : faults_) {
        if (f.rule.code != FaultRule::kAnyCode && f.rule.code != code) continue;
        const std::uint32_t seen = f.seen++;
        if (seen < f.rule.afterCalls || (f.rule.once && f.fired) || error) continue;
        f.fired = true;
        error = f.rule.error;
    }
    return error;
}

} // namespace flashwell::sim
