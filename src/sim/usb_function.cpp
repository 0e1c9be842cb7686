#include "sim/usb_function.h"

#include "sim/board_driver.h"

#include <algorithm>

namespace flashwell::sim {

namespace {

constexpr std::uint8_t kLoaderRequest = 0xA0;
constexpr std::uint16_t kCpuControlRegister = 0xE600;

bool IsCpuControl(const UsbSetup& s) {
    return s.request == kLoaderRequest && s.value == kCpuControlRegister && s.length == 1 &&
           (s.requestType & 0x80) == 0;
}

bool IsMemoryLoad(const UsbSetup& s) {
    return s.request == kLoaderRequest && (s.requestType & 0x80) == 0 && !IsCpuControl(s);
}

// The standard device requests every USB device answers, as the chip's core answers them in
// its boot state from its own descriptors (a started program answers them alike from the
// descriptors it serves): false for a stall. The descriptors have no strings, and no device
// qualifier is modelled.
bool StandardRequest(Board& board, const UsbSetup& s, std::span<std::uint8_t> stage,
                     std::size_t& actual) {
    enum : std::uint8_t {
        kGetStatus = 0,
        kClearFeature = 1,
        kSetFeature = 3,
        kSetAddress = 5,
        kGetDescriptor = 6,
        kGetConfiguration = 8,
        kSetConfiguration = 9,
        kGetInterface = 10,
        kSetInterface = 11,
    };
    constexpr std::size_t kDeviceDescriptorLength = 18;
    const bool in = (s.requestType & 0x80) != 0;
    const auto answer = [&](std::span<const std::uint8_t> bytes) {
        actual = std::min(bytes.size(), stage.size());
        std::copy_n(bytes.begin(), actual, stage.begin());
        return true;
    };
    switch (s.request) {
    case kGetStatus: {
        const std::uint8_t status[2] = {0, 0}; // bus-powered, no remote wake-up, not halted
        return in && answer(status);
    }
    case kClearFeature:
    case kSetFeature:
    case kSetAddress:
        return !in;
    case kGetDescriptor: {
        if (!in) return false;
        const auto all = UsbDescriptors(board.Identity(), board.HighSpeed());
        const std::span<const std::uint8_t> bytes(all);
        const unsigned type = s.value >> 8;
        const unsigned index = s.value & 0xFF;
        if (type == 1 && index == 0) return answer(bytes.first(kDeviceDescriptorLength));
        if (type == 2 && index == 0) return answer(bytes.subspan(kDeviceDescriptorLength));
        return false;
    }
    case kGetConfiguration: {
        const std::uint8_t configuration = 1;
        return in && answer({&configuration, 1});
    }
    case kSetConfiguration:
        return !in && s.value <= 1;
    case kGetInterface: {
        const std::uint8_t setting = 0;
        return in && s.index == 0 && answer({&setting, 1});
    }
    case kSetInterface:
        return !in && s.index == 0 && s.value == 0;
    default:
        return false;
    }
}

} // namespace

std::vector<std::uint8_t> UsbDescriptors(UsbIdentity id, bool highSpeed) {
    const std::uint16_t packet = BulkPacketSize(highSpeed);
    const auto lo = [](std::uint16_t v) { return static_cast<std::uint8_t>(v); };
    const auto hi = [](std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); };
    return {18, 1, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 64, lo(id.vendor), hi(id.vendor), lo(id.product),
            hi(id.product), 0x01, 0x00, 0, 0, 0, 1,
            // configuration: 9 + 9 + 7 + 7 = 32 bytes
            9, 2, 32, 0, 1, 1, 0, 0x80, 50,
            // interface 0, two endpoints, vendor class
            9, 4, 0, 0, 2, 0xFF, 0xFF, 0xFF, 0, 7, 5, kBulkOutEndpoint, 2, lo(packet), hi(packet),
            0, 7, 5, kBulkInEndpoint, 2, lo(packet), hi(packet), 0};
}

UsbOutcome UsbControl(Board& board, const UsbSetup& setup, std::span<std::uint8_t> data,
                      std::size_t& actual, std::vector<std::string>& refusals) {
    actual = 0;
    if (!board.OnBus()) return UsbOutcome::NoDevice;
    VendorRequest request;
    request.request = setup.request;
    request.value = setup.value;
    request.index = setup.index;
    request.length = setup.length;
    request.direction = (setup.requestType & 0x80) != 0 ? 1 : 0;
    const std::span<std::uint8_t> stage =
        data.first(std::min<std::size_t>(setup.length, data.size()));
    request.data = stage.empty() ? 0 : stage[0];
    platform::DWORD error = 0;
    platform::DWORD returned = 0;
    if ((setup.requestType & 0x60) == 0x00)
        return StandardRequest(board, setup, stage, actual) ? UsbOutcome::Done : UsbOutcome::Stall;
    if ((setup.requestType & 0x60) != 0x40) {
        refusals.push_back("control request of type " + std::to_string(setup.requestType));
        return UsbOutcome::Stall;
    }
    if (IsCpuControl(setup)) {
        error = board.Hooks().OnVendorRequest(board, request, {}, returned);
    } else if (IsMemoryLoad(setup)) {
        error = board.Hooks().OnLoadMemory(board, setup.value, stage);
        returned = setup.length;
    } else {
        error = board.Hooks().OnVendorRequest(board, request, stage, returned);
    }
    if (error != 0) return UsbOutcome::Stall; // the controller stalls what it refuses
    actual = request.direction != 0 ? returned : setup.length;
    return UsbOutcome::Done;
}

UsbOutcome UsbBulk(Board& board, std::uint8_t endpoint, std::span<std::uint8_t> data,
                   std::size_t& actual, std::vector<std::string>& refusals) {
    actual = 0;
    if (!board.OnBus()) return UsbOutcome::NoDevice;
    ControllerFirmware* firmware = board.Firmware();
    if (endpoint == kBulkOutEndpoint) {
        if (firmware != nullptr) firmware->OnPipeWrite(data);
        actual = data.size();
        return UsbOutcome::Done;
    }
    if (endpoint == kBulkInEndpoint) {
        actual = firmware != nullptr ? firmware->OnPipeRead(data) : 0;
        return UsbOutcome::Done;
    }
    refusals.push_back("transfer on endpoint " + std::to_string(endpoint));
    return UsbOutcome::Stall;
}

platform::DWORD EquivalentRequest(const UsbSetup& setup) {
    return IsMemoryLoad(setup) ? kIoctlLoadMemory : kIoctlVendorRequest;
}

platform::DWORD EquivalentRequest(std::uint8_t endpoint) {
    return (endpoint & 0x80) != 0 ? kIoctlPipeRead : kIoctlPipeWrite;
}

} // namespace flashwell::sim
