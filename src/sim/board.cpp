#include "sim/board.h"

#include <algorithm>
#include <cstdio>

namespace flashwell::sim {

bool RunsBoardFirmware(DeviceKind kind) {
    return kind == DeviceKind::UsbBoard1801 || kind == DeviceKind::UsbBoard1802 ||
           kind == DeviceKind::PciBoard;
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
                                                 std::span<std::uint8_t>,
                                                 platform::DWORD& bytesReturned) {
    constexpr std::uint8_t kFirmwareLoad = 0xA0;
    constexpr std::uint16_t kCpuControl = 0xE600;
    board.NoteVendorRequest(request);
    if (request.request == kFirmwareLoad && request.value == kCpuControl && request.direction == 0)
        board.SetCpuHeldInReset((request.data & 1) != 0);
    bytesReturned = 0;
    return platform::kErrorSuccess;
}

platform::DWORD ControllerHooks::OnLoadMemory(Board& board, std::uint16_t address,
                                              std::span<const std::uint8_t> bytes) {
    auto& ram = board.ControllerRam();
    for (std::size_t i = 0; i < bytes.size(); ++i)
        ram[(address + i) % ram.size()] = bytes[i];
    return platform::kErrorSuccess;
}

void ControllerHooks::OnEepromWrite(Board&, std::uint16_t, std::uint8_t) {}

std::optional<std::uint8_t> ControllerHooks::OnEepromRead(Board&, std::uint16_t) {
    return std::nullopt;
}

Board::Board(int id, BoardConfig config)
    : id_(id), config_(std::move(config)), hooks_(std::make_shared<ControllerHooks>()),
      ram_(kControllerRamSize, 0) {
    if (RunsBoardFirmware(config_.kind))
        firmware_ = std::make_unique<BoardFirmware>(config_.firmwareVersion, *this);
    for (const FaultRule& rule : config_.faults)
        AddFault(rule);
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
    }
    const platform::GUID& g = config_.interfaceGuid;
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
