#include "testkit/usb_bench.h"

#include "sim/board.h"

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace flashwell::testing {

namespace {

constexpr std::uint8_t kPipeOutEndpoint = 0x02;
constexpr std::uint8_t kPipeInEndpoint = 0x86;

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char two[3];
    for (const std::uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        text += two;
    }
    return text;
}

// Device and configuration descriptors of a controller: interface 0 with the two bulk
// endpoints of the board's firmware, out first, as the driver numbers its pipes.
std::vector<std::uint8_t> Descriptors(sim::UsbIdentity id, bool highSpeed) {
    const std::uint16_t packet = highSpeed ? 512 : 64;
    return {18, 1, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 64, static_cast<std::uint8_t>(id.vendor),
            static_cast<std::uint8_t>(id.vendor >> 8), static_cast<std::uint8_t>(id.product),
            static_cast<std::uint8_t>(id.product >> 8), 0x01, 0x00, 0, 0, 0, 1,
            // configuration: 9 + 9 + 7 + 7 = 32 bytes
            9, 2, 32, 0, 1, 1, 0, 0x80, 50,
            // interface 0, two endpoints, vendor class
            9, 4, 0, 0, 2, 0xFF, 0xFF, 0xFF, 0, 7, 5, kPipeOutEndpoint, 2,
            static_cast<std::uint8_t>(packet), static_cast<std::uint8_t>(packet >> 8), 0, 7, 5,
            kPipeInEndpoint, 2, static_cast<std::uint8_t>(packet),
            static_cast<std::uint8_t>(packet >> 8), 0};
}

} // namespace

struct UsbBench::State {
    struct Slot {
        State* owner = nullptr;
        sim::Board* board = nullptr;
        int number = 0;           // device number on bus 1, and its port
        bool shown = false;       // in the testbed now
        bool held = false;        // claimed by another program
        sim::UsbIdentity shownAs; // with this identity
        std::string sysPath;
        UMockdevIoctlBase* handler = nullptr;
        std::string node;
    };
    struct Flying {
        UMockdevIoctlData* urb; // our reference to the client's urb
        Slot* slot;
    };

    sim::SimWorld* world = nullptr;
    UMockdevTestbed* testbed = nullptr;
    std::deque<Slot> slots;
    std::deque<Flying> done; // completed, to be reaped
    std::vector<std::string> refusals;
    std::recursive_mutex lock; // the ioctl handler runs on umockdev's own thread
    std::function<void()> onTransfer;
    int nextNumber = 2;

    static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
        auto* slot = static_cast<Slot*>(data);
        return slot->board != nullptr && slot->owner->Serve(*slot, client);
    }

    bool Serve(Slot& slot, UMockdevIoctlClient* client);
    void RunUrb(Slot& slot, usbdevfs_urb& urb, std::uint8_t* buffer);
    void RunTransfer(Slot& slot, usbdevfs_urb& urb, std::uint8_t* buffer);
    void Show(Slot& slot);
    void Hide(Slot& slot);
};

bool UsbBench::State::Serve(Slot& slot, UMockdevIoctlClient* client) {
    std::lock_guard guard(lock);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const unsigned long request =
        static_cast<unsigned long>(umockdev_ioctl_client_get_request(client));
    if (!slot.shown) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
        *reinterpret_cast<guint32*>(caps->data) =
            USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
            USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
        umockdev_ioctl_data_unref(caps);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:
        if (slot.held) {
            umockdev_ioctl_client_complete(client, -1, EBUSY);
            return TRUE;
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_IOCTL: // asks whether a kernel driver holds the interface: none does
    case USBDEVFS_GETDRIVER:
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return TRUE;
    case USBDEVFS_SUBMITURB: {
        UMockdevIoctlData* urbData =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
        UMockdevIoctlData* buffer =
            umockdev_ioctl_data_resolve(urbData, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                        static_cast<gsize>(urb->buffer_length), nullptr);
        RunUrb(slot, *urb, buffer->data);
        umockdev_ioctl_data_unref(buffer);
        done.push_back({urbData, &slot});
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        for (auto it = done.begin(); it != done.end(); ++it) {
            if (it->slot != &slot) continue;
            UMockdevIoctlData* pointer =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
            umockdev_ioctl_data_set_ptr(pointer, 0, it->urb);
            umockdev_ioctl_data_unref(pointer);
            umockdev_ioctl_data_unref(it->urb);
            done.erase(it);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return TRUE;
    }
    case USBDEVFS_DISCARDURB:
        // Every urb completes when it is submitted: nothing is ever in flight to discard.
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return TRUE;
    default:
        return FALSE;
    }
}

void UsbBench::State::RunUrb(Slot& slot, usbdevfs_urb& urb, std::uint8_t* buffer) {
    RunTransfer(slot, urb, buffer);
    // Kept as the simulated WinUSB keeps its transfers, so that the two routes compare.
    sim::TrafficRecorder& recorder = world->Recorder();
    if (!recorder.Enabled()) return;
    sim::TrafficEvent e(sim::EventKind::UsbTransfer);
    e.board = slot.board->Id();
    const bool control = urb.type == USBDEVFS_URB_TYPE_CONTROL;
    e.code = control ? 0 : urb.endpoint;
    if (control) e.input.assign(buffer, buffer + 8);
    const std::uint8_t* data = control ? buffer + 8 : buffer;
    if (urb.status == 0) e.output.assign(data, data + urb.actual_length);
    e.bytesReturned = static_cast<platform::DWORD>(e.output.size());
    e.ok = urb.status == 0;
    recorder.Record(std::move(e));
}

void UsbBench::State::RunTransfer(Slot& slot, usbdevfs_urb& urb, std::uint8_t* buffer) {
    sim::Board& board = *slot.board;
    urb.status = 0;
    urb.actual_length = 0;
    if (onTransfer) onTransfer();
    if (!board.OnBus()) {
        // Pulled out: the transfer finds no device.
        urb.status = -ENODEV;
        return;
    }
    if (urb.type == USBDEVFS_URB_TYPE_CONTROL) {
        // The setup packet, then the data stage.
        const std::uint8_t type = buffer[0];
        sim::VendorRequest request;
        request.request = buffer[1];
        request.value = static_cast<std::uint16_t>(buffer[2] | buffer[3] << 8);
        request.index = static_cast<std::uint16_t>(buffer[4] | buffer[5] << 8);
        request.length = static_cast<std::uint16_t>(buffer[6] | buffer[7] << 8);
        request.direction = (type & 0x80) != 0 ? 1 : 0;
        std::span<std::uint8_t> data(buffer + 8, request.length);
        request.data = request.length > 0 ? data[0] : 0;
        platform::DWORD error = 0;
        platform::DWORD returned = 0;
        if ((type & 0x60) != 0x40) {
            refusals.push_back("control request of type " + std::to_string(type));
            error = platform::kErrorInvalidFunction;
        } else if (request.request == 0xA0 && request.value == 0xE600 && request.length == 1) {
            error = board.Hooks().OnVendorRequest(board, request, {}, returned);
        } else if (request.request == 0xA0 && request.direction == 0) {
            error = board.Hooks().OnLoadMemory(board, request.value, data);
            returned = request.length;
        } else {
            error = board.Hooks().OnVendorRequest(board, request, data, returned);
        }
        if (error != 0)
            urb.status = -EPIPE; // the controller stalls what it refuses
        else
            urb.actual_length = static_cast<int>(request.direction ? returned : request.length);
        return;
    }
    sim::ControllerFirmware* firmware = board.Firmware();
    if (urb.endpoint == kPipeOutEndpoint) {
        if (firmware != nullptr)
            firmware->OnPipeWrite({buffer, static_cast<std::size_t>(urb.buffer_length)});
        urb.actual_length = urb.buffer_length;
    } else if (urb.endpoint == kPipeInEndpoint) {
        urb.actual_length = firmware != nullptr
                                ? static_cast<int>(firmware->OnPipeRead(
                                      {buffer, static_cast<std::size_t>(urb.buffer_length)}))
                                : 0;
    } else {
        refusals.push_back("transfer on endpoint " + std::to_string(urb.endpoint));
        urb.status = -EPIPE;
    }
}

void UsbBench::State::Show(Slot& slot) {
    const sim::UsbIdentity id = slot.board->Identity();
    const std::string number = std::to_string(slot.number);
    char bus[16];
    std::snprintf(bus, sizeof bus, "%03d", slot.number);
    slot.node = std::string("/dev/bus/usb/001/") + bus;
    slot.sysPath = "/sys/devices/usb1/1-" + number;
    if (slot.handler == nullptr) {
        slot.handler = umockdev_ioctl_base_new();
        g_signal_connect_after(slot.handler, "handle-ioctl", G_CALLBACK(OnIoctl), &slot);
        umockdev_testbed_attach_ioctl(testbed, slot.node.c_str(), slot.handler, nullptr);
    }
    const std::string text = "P: /devices/usb1/1-" + number + "\n" + "N: bus/usb/001/" + bus +
                             "\n"
                             "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
                             "E: BUSNUM=001\nE: DEVNUM=" +
                             bus +
                             "\n"
                             "E: DEVNAME=" +
                             slot.node +
                             "\n"
                             "A: busnum=1\\n\nA: devnum=" +
                             number +
                             "\\n\n"
                             "A: bConfigurationValue=1\\n\n"
                             "A: speed=" +
                             (slot.board->HighSpeed() ? "480" : "12") +
                             "\\n\n"
                             "H: descriptors=" +
                             Hex(Descriptors(id, slot.board->HighSpeed())) + "\n";
    umockdev_testbed_add_from_string(testbed, text.c_str(), nullptr);
    slot.shown = true;
    slot.shownAs = id;
}

void UsbBench::State::Hide(Slot& slot) {
    umockdev_testbed_uevent(testbed, slot.sysPath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, slot.sysPath.c_str());
    slot.shown = false;
}

UsbBench::UsbBench() : state_(std::make_unique<State>()) {
    state_->testbed = umockdev_testbed_new();
    state_->world = &world_;
}

UsbBench::~UsbBench() {
    for (auto& slot : state_->slots)
        if (slot.handler != nullptr) g_object_unref(slot.handler);
    for (auto& f : state_->done)
        umockdev_ioctl_data_unref(f.urb);
    g_object_unref(state_->testbed);
}

void UsbBench::Plug(sim::Board& board) {
    std::lock_guard guard(state_->lock);
    State::Slot& slot = state_->slots.emplace_back();
    slot.owner = state_.get();
    slot.board = &board;
    slot.number = state_->nextNumber++;
    if (board.OnBus()) state_->Show(slot);
}

void UsbBench::Sync() {
    std::lock_guard guard(state_->lock);
    for (State::Slot& slot : state_->slots) {
        const bool there = slot.board->OnBus();
        if (slot.shown && (!there || slot.board->Identity() != slot.shownAs)) state_->Hide(slot);
        if (!slot.shown && there) state_->Show(slot);
    }
}

std::unique_ptr<platform::usb::UsbOsPort> UsbBench::MakePort(std::string& error) {
    platform::usb::UsbOptions options;
    options.sleep = [this](platform::DWORD ms) {
        world_.Os().Sleep(ms);
        Sync();
    };
    return platform::usb::UsbOsPort::Create(error, options);
}

void UsbBench::Hold(sim::Board& board) {
    std::lock_guard guard(state_->lock);
    for (State::Slot& slot : state_->slots)
        if (slot.board == &board) slot.held = true;
}

void UsbBench::OnTransfer(std::function<void()> hook) {
    std::lock_guard guard(state_->lock);
    state_->onTransfer = std::move(hook);
}

const std::vector<std::string>& UsbBench::Refusals() const {
    return state_->refusals;
}

} // namespace flashwell::testing
