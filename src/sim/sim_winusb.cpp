// WinUSB in the simulated Windows, for boards bound to it. What each call does follows
// Microsoft's documentation of WinUSB; where it is silent, what is commonly seen on real
// systems (docs/simulation.md, "WinUSB", says which is which).
#include "sim/board.h"
#include "sim/sim_windows.h"
#include "sim/usb_function.h"

#include <cstring>

namespace flashwell::sim {

using platform::BOOL;
using platform::DWORD;
using platform::HANDLE;
using platform::ProcAddress;
using platform::WinUsbHandle;

namespace {

constexpr DWORD kErrorNoMoreItems = 259;
// PIPE_TRANSFER_TIMEOUT's default: none for a bulk pipe, five seconds for the control pipe.
constexpr DWORD kControlTimeoutDefaultMs = 5000;
// A transfer without a time-out on a board that never answers waits forever; the simulation
// lets an hour pass and says so.
constexpr DWORD kForeverMs = 3600 * 1000;

bool IsPipeOfInterface(std::uint8_t pipe) {
    return pipe == kBulkOutEndpoint || pipe == kBulkInEndpoint;
}

} // namespace

bool SimWindows::IsWinUsbNode(const Node& node) const {
    return node.board->Config().winUsb;
}

SimWindows::WinUsbInterface* SimWindows::CheckWinUsb(ProcAddress entry, Function function,
                                                     WinUsbHandle handle) {
    Due();
    if (!CheckEntry(entry, function)) {
        Fail(platform::kErrorProcNotFound);
        return nullptr;
    }
    const auto it = winUsb_.find(handle);
    if (it == winUsb_.end()) {
        Fail(platform::kErrorInvalidHandle);
        return nullptr;
    }
    const auto file = handles_.find(it->second.file);
    if (file == handles_.end()) {
        Fail(platform::kErrorInvalidHandle);
        return nullptr;
    }
    if (!NodeAlive(file->second)) {
        Fail(nodes_[file->second.node].goneError);
        return nullptr;
    }
    return &it->second;
}

Board* SimWindows::WinUsbBoard(const WinUsbInterface& usb) {
    return nodes_[handles_.at(usb.file).node].board;
}

BOOL SimWindows::WinUsb_Initialize(ProcAddress entry, HANDLE file, WinUsbHandle* handle) {
    Due();
    if (!CheckEntry(entry, Function::WinUsbInitialize)) return Fail(platform::kErrorProcNotFound);
    const auto it = handles_.find(file);
    if (it == handles_.end()) return Fail(platform::kErrorInvalidHandle);
    if (handle == nullptr) return Fail(platform::kErrorInvalidParameter);
    const Node& node = nodes_[it->second.node];
    // A device of another driver: WinUSB's request to it is not understood (undocumented).
    if (!IsWinUsbNode(node)) return Fail(platform::kErrorInvalidFunction);
    if (!NodeAlive(it->second)) return Fail(node.goneError);
    // Documented: the handle must have been opened with FILE_FLAG_OVERLAPPED.
    if (!it->second.overlapped) return Fail(platform::kErrorInvalidHandle);
    const WinUsbHandle h = nextWinUsb_;
    nextWinUsb_ += 8;
    winUsb_[h] = WinUsbInterface{file, {}, {}};
    *handle = h;
    return Succeed();
}

BOOL SimWindows::WinUsb_Free(ProcAddress entry, WinUsbHandle handle) {
    Due();
    if (!CheckEntry(entry, Function::WinUsbFree)) return Fail(platform::kErrorProcNotFound);
    if (winUsb_.erase(handle) == 0) return Fail(platform::kErrorInvalidHandle);
    return Succeed();
}

BOOL SimWindows::WinUsb_QueryInterfaceSettings(ProcAddress entry, WinUsbHandle handle,
                                               std::uint8_t alternate,
                                               platform::UsbInterfaceDescriptor* out) {
    if (CheckWinUsb(entry, Function::WinUsbQueryInterfaceSettings, handle) == nullptr) return 0;
    if (out == nullptr) return Fail(platform::kErrorInvalidParameter);
    // The board has one setting of interface 0.
    if (alternate != 0) return Fail(kErrorNoMoreItems);
    *out = platform::UsbInterfaceDescriptor{9, 4, 0, 0, 2, 0xFF, 0xFF, 0xFF, 0};
    return Succeed();
}

BOOL SimWindows::WinUsb_QueryPipe(ProcAddress entry, WinUsbHandle handle, std::uint8_t alternate,
                                  std::uint8_t index, platform::WinUsbPipeInformation* pipe) {
    WinUsbInterface* usb = CheckWinUsb(entry, Function::WinUsbQueryPipe, handle);
    if (usb == nullptr) return 0;
    if (pipe == nullptr) return Fail(platform::kErrorInvalidParameter);
    if (alternate != 0 || index >= 2) return Fail(kErrorNoMoreItems);
    pipe->PipeType = platform::UsbPipeType::Bulk;
    pipe->PipeId = index == 0 ? kBulkOutEndpoint : kBulkInEndpoint;
    pipe->MaximumPacketSize = BulkPacketSize(WinUsbBoard(*usb)->HighSpeed());
    pipe->Interval = 0;
    return Succeed();
}

BOOL SimWindows::WinUsb_SetPipePolicy(ProcAddress entry, WinUsbHandle handle, std::uint8_t pipe,
                                      DWORD policy, DWORD length, void* value) {
    WinUsbInterface* usb = CheckWinUsb(entry, Function::WinUsbSetPipePolicy, handle);
    if (usb == nullptr) return 0;
    // Documented: a pipe id not of the interface (0 is the control pipe) is refused.
    if (pipe != 0 && !IsPipeOfInterface(pipe)) return Fail(platform::kErrorInvalidParameter);
    if (policy == platform::kPipeTransferTimeout) {
        if (length != sizeof(DWORD) || value == nullptr)
            return Fail(platform::kErrorInvalidParameter);
        DWORD ms = 0;
        std::memcpy(&ms, value, sizeof ms);
        usb->timeoutMs[pipe] = ms;
    }
    return Succeed();
}

void SimWindows::RecordTransfer(const Board& board, std::uint8_t endpoint,
                                const std::uint8_t* setup, const std::uint8_t* data,
                                std::size_t size, bool ok) {
    if (!recorder_.Enabled()) return;
    TrafficEvent e(EventKind::UsbTransfer);
    e.board = board.Id();
    e.code = endpoint;
    if (setup != nullptr) e.input.assign(setup, setup + 8);
    if (data != nullptr) e.output.assign(data, data + size);
    e.bytesReturned = static_cast<DWORD>(size);
    e.ok = ok;
    Record(std::move(e));
}

namespace {

// A fault that makes the board stop answering lets the pipe's time-out pass first.
DWORD TimeOut(VirtualClock& clock, const std::map<std::uint8_t, DWORD>& timeouts, std::uint8_t pipe,
              DWORD fallback, std::vector<std::string>& refusals) {
    const auto it = timeouts.find(pipe);
    DWORD ms = it != timeouts.end() ? it->second : fallback;
    if (ms == 0) {
        refusals.push_back("a transfer without a time-out waited on a board that never answers");
        ms = kForeverMs;
    }
    clock.Advance(ms);
    return platform::kErrorSemTimeout;
}

} // namespace

BOOL SimWindows::WinUsb_ControlTransfer(ProcAddress entry, WinUsbHandle handle,
                                        platform::WinUsbSetupPacket setup, std::uint8_t* buffer,
                                        DWORD length, DWORD* transferred) {
    WinUsbInterface* usb = CheckWinUsb(entry, Function::WinUsbControlTransfer, handle);
    if (usb == nullptr) return 0;
    if (transferred != nullptr) *transferred = 0;
    // The data stage must fit the buffer handed in.
    if (setup.Length > length || (buffer == nullptr && setup.Length > 0))
        return Fail(platform::kErrorInvalidParameter);
    Board& board = *WinUsbBoard(*usb);
    const UsbSetup s{setup.RequestType, setup.Request, setup.Value, setup.Index, setup.Length};
    const DWORD code = EquivalentRequest(s);
    if (ioControlObserver_) ioControlObserver_(ioControlCount_, code);
    ++ioControlCount_;
    Due();
    std::uint8_t packet[8] = {setup.RequestType,
                              setup.Request,
                              static_cast<std::uint8_t>(setup.Value),
                              static_cast<std::uint8_t>(setup.Value >> 8),
                              static_cast<std::uint8_t>(setup.Index),
                              static_cast<std::uint8_t>(setup.Index >> 8),
                              static_cast<std::uint8_t>(setup.Length),
                              static_cast<std::uint8_t>(setup.Length >> 8)};
    DWORD error = platform::kErrorSuccess;
    std::size_t actual = 0;
    if (!board.OnBus()) {
        error = board.Config().winUsbGoneError;
    } else if (const auto fault = board.CheckFault(code)) {
        error = *fault == platform::kErrorSemTimeout
                    ? TimeOut(clock_, usb->timeoutMs, 0, kControlTimeoutDefaultMs, usbRefusals_)
                    : *fault;
    } else {
        switch (UsbControl(board, s, {buffer, setup.Length}, actual, usbRefusals_)) {
        case UsbOutcome::Done:
            break;
        case UsbOutcome::Stall: // commonly seen as ERROR_GEN_FAILURE; the next setup clears it
            error = platform::kErrorGenFailure;
            break;
        case UsbOutcome::NoDevice:
            error = board.Config().winUsbGoneError;
            break;
        }
    }
    RecordTransfer(board, 0, packet, buffer, actual, error == platform::kErrorSuccess);
    if (error != platform::kErrorSuccess) return Fail(error);
    if (transferred != nullptr) *transferred = static_cast<DWORD>(actual);
    return Succeed();
}

BOOL SimWindows::WinUsbPipe(ProcAddress entry, Function function, WinUsbHandle handle,
                            std::uint8_t pipe, std::uint8_t* buffer, DWORD length,
                            DWORD* transferred) {
    WinUsbInterface* usb = CheckWinUsb(entry, function, handle);
    if (usb == nullptr) return 0;
    if (transferred != nullptr) *transferred = 0;
    const bool in = function == Function::WinUsbReadPipe;
    // Documented: a pipe id not of the interface is refused; so is a pipe of the other way.
    if (!IsPipeOfInterface(pipe) || ((pipe & 0x80) != 0) != in || transferred == nullptr ||
        (buffer == nullptr && length > 0))
        return Fail(platform::kErrorInvalidParameter);
    // A halted endpoint fails every transfer until WinUsb_ResetPipe (commonly seen).
    if (usb->halted[pipe]) return Fail(platform::kErrorGenFailure);
    Board& board = *WinUsbBoard(*usb);
    const DWORD code = EquivalentRequest(pipe);
    if (ioControlObserver_) ioControlObserver_(ioControlCount_, code);
    ++ioControlCount_;
    Due();
    DWORD error = platform::kErrorSuccess;
    std::size_t actual = 0;
    if (!board.OnBus()) {
        error = board.Config().winUsbGoneError;
    } else if (const auto fault = board.CheckFault(code)) {
        error = *fault == platform::kErrorSemTimeout
                    ? TimeOut(clock_, usb->timeoutMs, pipe, 0, usbRefusals_)
                    : *fault;
        if (error == platform::kErrorGenFailure) usb->halted[pipe] = true;
    } else {
        switch (UsbBulk(board, pipe, {buffer, length}, actual, usbRefusals_)) {
        case UsbOutcome::Done:
            break;
        case UsbOutcome::Stall:
            usb->halted[pipe] = true;
            error = platform::kErrorGenFailure;
            break;
        case UsbOutcome::NoDevice:
            error = board.Config().winUsbGoneError;
            break;
        }
    }
    RecordTransfer(board, pipe, nullptr, buffer, actual, error == platform::kErrorSuccess);
    if (error != platform::kErrorSuccess) return Fail(error);
    *transferred = static_cast<DWORD>(actual);
    return Succeed();
}

BOOL SimWindows::WinUsb_WritePipe(ProcAddress entry, WinUsbHandle handle, std::uint8_t pipe,
                                  std::uint8_t* buffer, DWORD length, DWORD* transferred) {
    return WinUsbPipe(entry, Function::WinUsbWritePipe, handle, pipe, buffer, length, transferred);
}

BOOL SimWindows::WinUsb_ReadPipe(ProcAddress entry, WinUsbHandle handle, std::uint8_t pipe,
                                 std::uint8_t* buffer, DWORD length, DWORD* transferred) {
    return WinUsbPipe(entry, Function::WinUsbReadPipe, handle, pipe, buffer, length, transferred);
}

BOOL SimWindows::WinUsb_ResetPipe(ProcAddress entry, WinUsbHandle handle, std::uint8_t pipe) {
    WinUsbInterface* usb = CheckWinUsb(entry, Function::WinUsbResetPipe, handle);
    if (usb == nullptr) return 0;
    if (!IsPipeOfInterface(pipe)) return Fail(platform::kErrorInvalidParameter);
    usb->halted[pipe] = false;
    return Succeed();
}

} // namespace flashwell::sim
