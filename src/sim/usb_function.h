// The board as the USB host controller meets it when no board driver stands in between: its
// descriptors, control transfers on endpoint 0, and the firmware's two bulk endpoints. The
// routes that reach a board without its driver (WinUSB in the simulated Windows, libusb through
// umockdev in the tests) both end here, so they meet the same board.
//
// What the board does with each transfer:
// - a standard request is answered from the board's descriptors: the device and configuration
//   descriptors, status, configuration 1 and interface 0 with its one setting; anything else
//   of the kind (strings, other settings) stalls;
// - a vendor request (bmRequestType 0x40 or 0xC0) goes to the controller as the driver would
//   pass it on; 0xA0 out is a write into the controller's memory (the EZ-USB loader, served by
//   the silicon itself even with the CPU held; see ControllerHooks), a 0xA0 of one byte at
//   0xE600 is its CPU control register, and 0xA0 in reads the memory in the boot state;
// - a class or reserved request type, and a request the controller refuses, stalls (a protocol
//   stall: the next setup packet clears it);
// - bulk OUT on 0x02 hands the bytes to the running firmware, bulk IN on 0x86 returns what it
//   has queued, possibly fewer bytes than asked and possibly none (a zero-length packet);
//   without a running firmware the board takes and returns nothing;
// - a transfer to a board off the bus finds no device.
#pragma once

#include "platform/os_port.h"
#include "sim/board.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace flashwell::sim {

inline constexpr std::uint8_t kBulkOutEndpoint = 0x02;
inline constexpr std::uint8_t kBulkInEndpoint = 0x86;

enum class UsbOutcome { Done, Stall, NoDevice };

struct UsbSetup {
    std::uint8_t requestType = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
};

// Device and configuration descriptors: interface 0 with the two bulk endpoints, out first, of
// 64 bytes at full speed and 512 at high speed.
std::vector<std::uint8_t> UsbDescriptors(UsbIdentity identity, bool highSpeed);
inline std::uint16_t BulkPacketSize(bool highSpeed) {
    return highSpeed ? 512 : 64;
}

// `data` holds the data stage (setup.length bytes); `actual` is set to the bytes moved. A
// refusal the tests should see is appended to `refusals`.
UsbOutcome UsbControl(Board& board, const UsbSetup& setup, std::span<std::uint8_t> data,
                      std::size_t& actual, std::vector<std::string>& refusals);
UsbOutcome UsbBulk(Board& board, std::uint8_t endpoint, std::span<std::uint8_t> data,
                   std::size_t& actual, std::vector<std::string>& refusals);

// The driver request a transfer stands for, so that a fault rule or an observer of the
// driver's requests meets it on every route.
platform::DWORD EquivalentRequest(const UsbSetup& setup);
platform::DWORD EquivalentRequest(std::uint8_t endpoint);

} // namespace flashwell::sim
