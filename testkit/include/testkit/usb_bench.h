// A USB bus for any usbfs program: umockdev holds the simulated boards as USB devices (sysfs
// attributes, descriptors, device nodes) and serves the usbfs requests of either generation of
// libusb, or of a program that sends them itself, from each board's controller model, the same
// model the simulated driver sits on: control and bulk transfers by request or by urb, the
// descriptors a read() of the node gives, the connection's device number. The program runs
// through the USB backend against it, in the simulation's virtual time; other programs run as
// child processes under umockdev's preload library.
#pragma once

#include "platform/usb/usb_os_port.h"
#include "sim/sim_world.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace flashwell::testing {

class UsbBench {
public:
    UsbBench();
    ~UsbBench();
    UsbBench(const UsbBench&) = delete;
    UsbBench& operator=(const UsbBench&) = delete;

    sim::SimWorld& World() { return world_; }
    // Adds a board of the world to the bus (after the world made it).
    void Plug(sim::Board& board);
    // Brings the bus in line with the boards: devices that left, arrived or changed identity.
    void Sync();
    // The USB backend over this bus, pausing in virtual time.
    std::unique_ptr<platform::usb::UsbOsPort> MakePort(std::string& error);
    // The board's device node, as a program on the bus opens it ("/dev/bus/usb/001/002").
    std::string Node(const sim::Board& board) const;
    // Another program holds the board's interface: claiming it fails as busy.
    void Hold(sim::Board& board);
    // Called for every transfer the bus serves, before it runs (on umockdev's thread, while the
    // program waits for the transfer): tests pull a board out at a chosen moment.
    void OnTransfer(std::function<void()> hook);
    // Requests the bus could not serve (unknown to usbfs, malformed, a buffer short of the
    // transfer it announces) and transfers the controller's model refused as none it knows
    // (wrong endpoint, unknown request type).
    const std::vector<std::string>& Refusals() const;

    struct State;

private:
    sim::SimWorld world_;
    std::unique_ptr<State> state_;
};

} // namespace flashwell::testing
