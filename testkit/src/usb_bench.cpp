#include "testkit/usb_bench.h"

#include "sim/board.h"
#include "sim/usb_function.h"

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

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char two[3];
    for (const std::uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        text += two;
    }
    return text;
}

std::string RequestName(unsigned long request) {
    char text[32];
    std::snprintf(text, sizeof text, "ioctl 0x%08lx", request);
    return text;
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
    static gboolean OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
        auto* slot = static_cast<Slot*>(data);
        return slot->board != nullptr && slot->owner->Read(*slot, client);
    }
    static gboolean OnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
        auto* slot = static_cast<Slot*>(data);
        std::lock_guard guard(slot->owner->lock);
        // usbfs has no write: everything goes through its requests.
        slot->owner->refusals.push_back("write() on " + slot->node);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return TRUE;
    }

    bool Serve(Slot& slot, UMockdevIoctlClient* client);
    bool Read(Slot& slot, UMockdevIoctlClient* client);
    void Refuse(UMockdevIoctlClient* client, std::string what, int error) {
        refusals.push_back(std::move(what));
        umockdev_ioctl_client_complete(client, -1, error);
    }
    // One transfer on the board: `setup` for endpoint 0, nothing for a bulk endpoint. Returns 0
    // or the negative errno usbfs reports, with the bytes moved in `actual`.
    int Transfer(Slot& slot, std::uint8_t endpoint, const std::uint8_t* setup,
                 std::span<std::uint8_t> data, std::size_t& actual);
    void RunUrb(Slot& slot, usbdevfs_urb& urb, std::uint8_t* buffer);
    void Show(Slot& slot);
    void Hide(Slot& slot);
};

// Reads of the node give what Linux gives: the device descriptor and then every configuration,
// each open file from its own position.
bool UsbBench::State::Read(Slot& slot, UMockdevIoctlClient* client) {
    std::lock_guard guard(lock);
    if (!slot.shown) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    constexpr const char* kPosition = "flashwell-position";
    const std::vector<std::uint8_t> node =
        sim::UsbDescriptors(slot.board->Identity(), slot.board->HighSpeed());
    const auto at = GPOINTER_TO_SIZE(g_object_get_data(G_OBJECT(client), kPosition));
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const std::size_t wanted = arg->data_len > 0 ? static_cast<std::size_t>(arg->data_len) : 0;
    const std::size_t n = at < node.size() ? std::min(wanted, node.size() - at) : 0;
    if (n > 0) {
        std::vector<std::uint8_t> part(node.begin() + static_cast<std::ptrdiff_t>(at),
                                       node.begin() + static_cast<std::ptrdiff_t>(at + n));
        umockdev_ioctl_data_update(arg, 0, part.data(), static_cast<gint>(n));
    }
    g_object_set_data(G_OBJECT(client), kPosition, GSIZE_TO_POINTER(at + n));
    umockdev_ioctl_client_complete(client, static_cast<glong>(n), 0);
    return TRUE;
}

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
    case USBDEVFS_CONNECTINFO: {
        UMockdevIoctlData* info =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_connectinfo), nullptr);
        auto* connect = reinterpret_cast<usbdevfs_connectinfo*>(info->data);
        connect->devnum = static_cast<unsigned>(slot.number);
        connect->slow = 0; // full or high speed, never low
        umockdev_ioctl_data_unref(info);
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
    case USBDEVFS_SETCONFIGURATION: {
        // The one configuration, or none.
        UMockdevIoctlData* value = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), nullptr);
        const int configuration = *reinterpret_cast<int*>(value->data);
        umockdev_ioctl_data_unref(value);
        if (configuration != 1 && configuration != 0 && configuration != -1) {
            Refuse(client, "configuration " + std::to_string(configuration), EINVAL);
            return TRUE;
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_SETINTERFACE: {
        UMockdevIoctlData* value =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_setinterface), nullptr);
        const auto setting = *reinterpret_cast<usbdevfs_setinterface*>(value->data);
        umockdev_ioctl_data_unref(value);
        if (setting.interface != 0 || setting.altsetting != 0) {
            Refuse(client,
                   "interface " + std::to_string(setting.interface) + " alternate setting " +
                       std::to_string(setting.altsetting),
                   EINVAL);
            return TRUE;
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_IOCTL: // asks whether a kernel driver holds the interface: none does
    case USBDEVFS_GETDRIVER:
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return TRUE;
    case USBDEVFS_CONTROL: {
        UMockdevIoctlData* transfer =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ctrltransfer), nullptr);
        const auto control = *reinterpret_cast<usbdevfs_ctrltransfer*>(transfer->data);
        const std::uint8_t setup[8] = {control.bRequestType,
                                       control.bRequest,
                                       static_cast<std::uint8_t>(control.wValue),
                                       static_cast<std::uint8_t>(control.wValue >> 8),
                                       static_cast<std::uint8_t>(control.wIndex),
                                       static_cast<std::uint8_t>(control.wIndex >> 8),
                                       static_cast<std::uint8_t>(control.wLength),
                                       static_cast<std::uint8_t>(control.wLength >> 8)};
        // The data stage is the caller's buffer of wLength bytes, as the kernel copies it.
        UMockdevIoctlData* stage = control.wLength > 0
                                       ? umockdev_ioctl_data_resolve(
                                             transfer, G_STRUCT_OFFSET(usbdevfs_ctrltransfer, data),
                                             control.wLength, nullptr)
                                       : nullptr;
        if (control.wLength > 0 && stage == nullptr) {
            umockdev_ioctl_data_unref(transfer);
            Refuse(client, "control request with a data stage and no buffer", EFAULT);
            return TRUE;
        }
        std::size_t actual = 0;
        const int status =
            Transfer(slot, 0, setup,
                     stage != nullptr ? std::span<std::uint8_t>(stage->data, control.wLength)
                                      : std::span<std::uint8_t>(),
                     actual);
        if (stage != nullptr) umockdev_ioctl_data_unref(stage);
        umockdev_ioctl_data_unref(transfer);
        umockdev_ioctl_client_complete(client, status == 0 ? static_cast<glong>(actual) : -1,
                                       -status);
        return TRUE;
    }
    case USBDEVFS_BULK: {
        UMockdevIoctlData* transfer =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_bulktransfer), nullptr);
        const auto bulk = *reinterpret_cast<usbdevfs_bulktransfer*>(transfer->data);
        UMockdevIoctlData* buffer =
            bulk.len > 0 ? umockdev_ioctl_data_resolve(transfer,
                                                       G_STRUCT_OFFSET(usbdevfs_bulktransfer, data),
                                                       bulk.len, nullptr)
                         : nullptr;
        if (bulk.len > 0 && buffer == nullptr) {
            umockdev_ioctl_data_unref(transfer);
            Refuse(client, "bulk transfer without a buffer", EFAULT);
            return TRUE;
        }
        std::size_t actual = 0;
        const int status =
            Transfer(slot, static_cast<std::uint8_t>(bulk.ep), nullptr,
                     buffer != nullptr ? std::span<std::uint8_t>(buffer->data, bulk.len)
                                       : std::span<std::uint8_t>(),
                     actual);
        if (buffer != nullptr) umockdev_ioctl_data_unref(buffer);
        umockdev_ioctl_data_unref(transfer);
        umockdev_ioctl_client_complete(client, status == 0 ? static_cast<glong>(actual) : -1,
                                       -status);
        return TRUE;
    }
    case USBDEVFS_SUBMITURB: {
        UMockdevIoctlData* urbData =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
        if (urb->buffer_length < 0 ||
            (urb->type != USBDEVFS_URB_TYPE_CONTROL && urb->type != USBDEVFS_URB_TYPE_BULK)) {
            umockdev_ioctl_data_unref(urbData);
            Refuse(client, "urb of type " + std::to_string(urb->type), EINVAL);
            return TRUE;
        }
        UMockdevIoctlData* buffer =
            urb->buffer_length > 0
                ? umockdev_ioctl_data_resolve(urbData, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                              static_cast<gsize>(urb->buffer_length), nullptr)
                : nullptr;
        if (urb->buffer_length > 0 && buffer == nullptr) {
            umockdev_ioctl_data_unref(urbData);
            Refuse(client, "urb without a buffer", EFAULT);
            return TRUE;
        }
        // The kernel takes a control urb only when its buffer holds the setup packet and the
        // whole data stage the packet announces.
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL &&
            (urb->buffer_length < 8 ||
             (buffer->data[6] | buffer->data[7] << 8) > urb->buffer_length - 8)) {
            umockdev_ioctl_data_unref(buffer);
            umockdev_ioctl_data_unref(urbData);
            Refuse(client,
                   "control urb of " + std::to_string(urb->buffer_length) +
                       " bytes, short of its setup packet's data stage",
                   EINVAL);
            return TRUE;
        }
        RunUrb(slot, *urb, buffer != nullptr ? buffer->data : nullptr);
        if (buffer != nullptr) umockdev_ioctl_data_unref(buffer);
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
        // As the kernel answers a request usbfs does not know.
        Refuse(client, RequestName(request), ENOTTY);
        return TRUE;
    }
}

int UsbBench::State::Transfer(Slot& slot, std::uint8_t endpoint, const std::uint8_t* setup,
                              std::span<std::uint8_t> data, std::size_t& actual) {
    sim::Board& board = *slot.board;
    actual = 0;
    if (onTransfer) onTransfer();
    sim::UsbOutcome outcome = sim::UsbOutcome::NoDevice;
    if (setup != nullptr) {
        const sim::UsbSetup s{setup[0], setup[1],
                              static_cast<std::uint16_t>(setup[2] | setup[3] << 8),
                              static_cast<std::uint16_t>(setup[4] | setup[5] << 8),
                              static_cast<std::uint16_t>(setup[6] | setup[7] << 8)};
        outcome = sim::UsbControl(board, s, data, actual, refusals);
    } else {
        outcome = sim::UsbBulk(board, endpoint, data, actual, refusals);
    }
    const int status = outcome == sim::UsbOutcome::Done    ? 0
                       : outcome == sim::UsbOutcome::Stall ? -EPIPE // cleared by the next setup
                                                           : -ENODEV;
    // Kept as the simulated WinUSB keeps its transfers, so that the two routes compare.
    sim::TrafficRecorder& recorder = world->Recorder();
    if (recorder.Enabled()) {
        sim::TrafficEvent e(sim::EventKind::UsbTransfer);
        e.board = board.Id();
        e.code = setup != nullptr ? 0 : endpoint;
        if (setup != nullptr) e.input.assign(setup, setup + 8);
        if (status == 0)
            e.output.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(actual));
        e.bytesReturned = static_cast<platform::DWORD>(e.output.size());
        e.ok = status == 0;
        recorder.Record(std::move(e));
    }
    return status;
}

void UsbBench::State::RunUrb(Slot& slot, usbdevfs_urb& urb, std::uint8_t* buffer) {
    const bool control = urb.type == USBDEVFS_URB_TYPE_CONTROL;
    const std::size_t size = static_cast<std::size_t>(urb.buffer_length);
    std::span<std::uint8_t> data = control ? std::span<std::uint8_t>(buffer + 8, size - 8)
                                           : std::span<std::uint8_t>(buffer, size);
    if (control) data = data.first(static_cast<std::size_t>(buffer[6] | buffer[7] << 8));
    std::size_t actual = 0;
    urb.status = Transfer(slot, urb.endpoint, control ? buffer : nullptr, data, actual);
    urb.actual_length = static_cast<int>(actual);
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
        g_signal_connect_after(slot.handler, "handle-read", G_CALLBACK(OnRead), &slot);
        g_signal_connect_after(slot.handler, "handle-write", G_CALLBACK(OnWrite), &slot);
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
                             Hex(sim::UsbDescriptors(id, slot.board->HighSpeed())) + "\n";
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

std::string UsbBench::Node(const sim::Board& board) const {
    std::lock_guard guard(state_->lock);
    for (const State::Slot& slot : state_->slots)
        if (slot.board == &board) return slot.node;
    return {};
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
