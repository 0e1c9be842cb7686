#include "sim/sim_windows.h"

#include "sim/board.h"
#include "sim/board_driver.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

namespace flashwell::sim {

using platform::BOOL;
using platform::DWORD;
using platform::HANDLE;
using platform::HDEVINFO;
using platform::HMODULE;
using platform::ProcAddress;

namespace {

constexpr DWORD kErrorPathNotFound = 3;
// How the board driver's devices must be opened: read and write access, no sharing (the driver
// serves one handle at a time), an existing device, synchronous I/O.
constexpr DWORD kDeviceAccess = 0xC0000000;
constexpr DWORD kDeviceShareMode = 0;
constexpr DWORD kDeviceCreation = 3;
constexpr DWORD kDeviceFlags = 0;
constexpr DWORD kErrorInvalidUserBuffer = 1784;
// The published SetupAPI record sizes for the bitness of this build: the interface data record
// is 28 bytes in a 32-bit build and 32 in a 64-bit one; the ANSI detail record's size field
// holds the size of its fixed part, 5 (byte-packed) or 8, and the path starts after the 4-byte
// size field.
constexpr DWORD kInterfaceDataSize = sizeof(void*) == 4 ? 28 : 32;
constexpr DWORD kDetailFixedSize = sizeof(void*) == 4 ? 5 : 8;
constexpr std::size_t kDetailPathOffset = 4;
// OSVERSIONINFOA, as published.
constexpr DWORD kVersionInfoSize = 148;
constexpr DWORD kDigcfAllClasses = 0x04;
constexpr DWORD kSpintActive = 0x01;

std::string Upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool SameName(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::toupper(static_cast<unsigned char>(x)) ==
               std::toupper(static_cast<unsigned char>(y));
    });
}

Bytes CopyBytes(const void* p, DWORD size) {
    if (p == nullptr || size == 0) return {};
    const auto* b = static_cast<const std::uint8_t*>(p);
    return Bytes(b, b + size);
}

} // namespace

platform::OsVersionInfo WindowsXpSp2() {
    platform::OsVersionInfo v{};
    v.dwOSVersionInfoSize = kVersionInfoSize;
    v.dwMajorVersion = 5;
    v.dwMinorVersion = 1;
    v.dwBuildNumber = 2600;
    v.dwPlatformId = 2;
    std::strcpy(v.szCSDVersion, "Service Pack 2");
    return v;
}

struct SimWindows::Module {
    std::string name; // upper case, without directory
    HMODULE base;
    int loadCount = 0;
    bool pinned = false; // KERNEL32 never goes away
    bool Loaded() const { return pinned || loadCount > 0; }
};

SimWindows::SimWindows(VirtualClock& clock, TrafficRecorder& recorder, WindowsConfig config)
    : clock_(clock), recorder_(recorder), config_(std::move(config)) {
    modules_.push_back(std::make_unique<Module>(Module{"SETUPAPI.DLL", 0x76670000, 0, false}));
    modules_.push_back(std::make_unique<Module>(Module{"KERNEL32.DLL", 0x7C800000, 0, true}));
    modules_.push_back(std::make_unique<Module>(Module{"WINUSB.DLL", 0x4D600000, 0, false}));
}

SimWindows::SimWindows(const SimWindows& other, VirtualClock& clock, TrafficRecorder& recorder,
                       const std::function<Board&(const Board&)>& boardFor)
    : clock_(clock), recorder_(recorder) {
    Assign(other, boardFor);
}

void SimWindows::Assign(const SimWindows& other,
                        const std::function<Board&(const Board&)>& boardFor) {
    if (this == &other) return;
    config_ = other.config_;
    lastError_ = other.lastError_;
    modules_.resize(other.modules_.size());
    for (std::size_t i = 0; i < modules_.size(); ++i) {
        if (modules_[i])
            *modules_[i] = *other.modules_[i];
        else
            modules_[i] = std::make_unique<Module>(*other.modules_[i]);
    }
    nodes_ = other.nodes_;
    for (Node& node : nodes_)
        node.board = &boardFor(*node.board);
    handles_ = other.handles_;
    nextHandle_ = other.nextHandle_;
    snapshots_ = other.snapshots_;
    nextSnapshot_ = other.nextSnapshot_;
    badEntryCalls_ = other.badEntryCalls_;
    debug_ = other.debug_;
    ioControlCount_ = other.ioControlCount_;
    winUsb_ = other.winUsb_;
    nextWinUsb_ = other.nextWinUsb_;
    usbRefusals_ = other.usbRefusals_;
}

SimWindows::~SimWindows() = default;

BOOL SimWindows::Fail(DWORD error) {
    lastError_ = error;
    return 0;
}

BOOL SimWindows::Succeed() {
    lastError_ = platform::kErrorSuccess;
    return 1;
}

void SimWindows::Record(TrafficEvent&& event) {
    if (!recorder_.Enabled()) return;
    event.timeMs = clock_.NowMs();
    event.error = lastError_;
    recorder_.Record(std::move(event));
}

// ---- Device nodes -------------------------------------------------------------------------

void SimWindows::Attach(Board& board) {
    const std::string path = board.DevicePath();
    for (Node& n : nodes_) {
        if (n.board == &board && n.path == path) {
            if (!n.present) {
                n.present = true;
                ++n.generation;
            }
            n.guid = board.InterfaceGuid();
            return;
        }
    }
    nodes_.push_back(Node{&board, path, board.InterfaceGuid()});
}

void SimWindows::Detach(Board& board, DWORD error) {
    for (Node& n : nodes_) {
        if (n.board == &board && n.present) {
            n.present = false;
            // WinUSB fails the calls of an unplugged device with an error of its own.
            n.goneError = IsWinUsbNode(n) ? board.Config().winUsbGoneError : error;
        }
    }
}

bool SimWindows::IsAttached(const Board& board) const {
    return std::any_of(nodes_.begin(), nodes_.end(),
                       [&](const Node& n) { return n.board == &board && n.present; });
}

bool SimWindows::NodeAlive(const OpenFile& file) const {
    const Node& n = nodes_[file.node];
    return n.present && n.generation == file.generation;
}

std::size_t SimWindows::OpenHandleCount(const Board& board) const {
    return static_cast<std::size_t>(
        std::count_if(handles_.begin(), handles_.end(), [&](const auto& h) {
            return nodes_[h.second.node].board == &board && NodeAlive(h.second);
        }));
}

std::vector<std::string> SimWindows::DebugTexts() const {
    std::vector<std::string> out;
    for (const DebugLine& l : debug_)
        out.push_back(l.text);
    return out;
}

// ---- Kernel -------------------------------------------------------------------------------

DWORD SimWindows::GetSystemDirectoryA(char* buffer, DWORD size) {
    if (config_.systemDirectoryError != 0) {
        lastError_ = config_.systemDirectoryError;
        return 0;
    }
    const std::string& dir = config_.systemDirectory;
    lastError_ = platform::kErrorSuccess;
    if (buffer == nullptr || size <= dir.size()) return static_cast<DWORD>(dir.size() + 1);
    std::memcpy(buffer, dir.c_str(), dir.size() + 1);
    return static_cast<DWORD>(dir.size());
}

HMODULE SimWindows::LoadLibraryA(const char* fileName) {
    TrafficEvent e(EventKind::LoadLibrary);
    e.name = fileName ? fileName : "";
    Module* found = nullptr;
    for (auto& m : modules_) {
        if (m->name == "SETUPAPI.DLL" && !config_.setupApi.present) continue;
        if (m->name == "WINUSB.DLL" && !config_.winUsbPresent) continue;
        const std::string bare = m->name.substr(0, m->name.size() - 4);
        if (SameName(e.name, m->name) || SameName(e.name, bare) ||
            SameName(e.name, config_.systemDirectory + "\\" + m->name))
            found = m.get();
    }
    HMODULE result = 0;
    if (found != nullptr) {
        ++found->loadCount;
        result = found->base;
        Succeed();
    } else {
        Fail(platform::kErrorModNotFound);
    }
    e.handle = result;
    e.ok = result != 0;
    Record(std::move(e));
    return result;
}

SimWindows::Module* SimWindows::FindModule(HMODULE module) {
    for (auto& m : modules_)
        if (m->base == module && m->Loaded()) return m.get();
    return nullptr;
}

SimWindows::ExportList SimWindows::Exports(const Module& module) const {
    // Asked at every SetupAPI call, so built without the heap.
    ExportList list;
    const auto add = [&](std::string_view name, Function function) {
        const auto& missing = config_.setupApi.missingExports;
        if (std::find(missing.begin(), missing.end(), name) == missing.end())
            list.items[list.count++] = {name, function};
    };
    if (module.name == "WINUSB.DLL") {
        for (const auto& [name, function] :
             {std::pair<std::string_view, Function>{"WinUsb_Initialize",
                                                    Function::WinUsbInitialize},
              {"WinUsb_Free", Function::WinUsbFree},
              {"WinUsb_QueryInterfaceSettings", Function::WinUsbQueryInterfaceSettings},
              {"WinUsb_QueryPipe", Function::WinUsbQueryPipe},
              {"WinUsb_SetPipePolicy", Function::WinUsbSetPipePolicy},
              {"WinUsb_ControlTransfer", Function::WinUsbControlTransfer},
              {"WinUsb_WritePipe", Function::WinUsbWritePipe},
              {"WinUsb_ReadPipe", Function::WinUsbReadPipe},
              {"WinUsb_ResetPipe", Function::WinUsbResetPipe}})
            list.items[list.count++] = {name, function};
        return list;
    }
    if (module.name == "KERNEL32.DLL") {
        if (config_.kernelExportsGetVersionEx)
            list.items[list.count++] = {"GetVersionExA", Function::GetVersionEx};
        return list;
    }
    const bool old = config_.setupApi.fallbackNamesOnly;
    add("SetupDiGetClassDevsA", Function::GetClassDevs);
    add(old ? "SetupDiEnumInterfaceDevice" : "SetupDiEnumDeviceInterfaces",
        Function::EnumDeviceInterfaces);
    add(old ? "SetupDiGetInterfaceDeviceDetailA" : "SetupDiGetDeviceInterfaceDetailA",
        Function::GetDeviceInterfaceDetail);
    add("SetupDiDestroyDeviceInfoList", Function::DestroyDeviceInfoList);
    return list;
}

namespace {
ProcAddress AddressOf(HMODULE base, int function) {
    return base + 0x1000 + 0x40 * static_cast<ProcAddress>(function);
}
} // namespace

ProcAddress SimWindows::GetProcAddress(HMODULE module, const char* name) {
    TrafficEvent e(EventKind::GetProcAddress);
    e.name = name ? name : "";
    ProcAddress result = 0;
    if (Module* m = FindModule(module)) {
        for (const auto& [exported, function] : Exports(*m))
            if (exported == e.name) result = AddressOf(m->base, static_cast<int>(function));
        result ? Succeed() : Fail(platform::kErrorProcNotFound);
    } else {
        Fail(platform::kErrorModNotFound);
    }
    e.handle = result;
    e.ok = result != 0;
    Record(std::move(e));
    return result;
}

BOOL SimWindows::FreeLibrary(HMODULE module) {
    TrafficEvent e(EventKind::FreeLibrary);
    e.handle = module;
    BOOL ok = 0;
    for (auto& m : modules_) {
        if (m->base == module && m->loadCount > 0) {
            e.name = m->name;
            --m->loadCount;
            ok = Succeed();
        }
    }
    if (!ok) Fail(platform::kErrorModNotFound);
    e.ok = ok != 0;
    Record(std::move(e));
    return ok;
}

int SimWindows::LoadCount(const std::string& moduleName) const {
    for (const auto& m : modules_)
        if (SameName(m->name, moduleName)) return m->loadCount;
    return 0;
}

bool SimWindows::CheckEntry(ProcAddress entry, Function function) {
    for (auto& m : modules_) {
        if (!m->Loaded()) continue;
        for (const auto& [name, f] : Exports(*m))
            if (f == function && AddressOf(m->base, static_cast<int>(f)) == entry) return true;
    }
    ++badEntryCalls_;
    return false;
}

HANDLE SimWindows::CreateFileA(const char* fileName, DWORD access, DWORD shareMode,
                               DWORD creationDisposition, DWORD flagsAndAttributes) {
    Due();
    TrafficEvent e(EventKind::CreateFile);
    e.name = fileName ? fileName : "";
    e.access = access;
    e.shareMode = shareMode;
    e.creationDisposition = creationDisposition;
    e.flagsAndAttributes = flagsAndAttributes;

    std::optional<std::size_t> node;
    DWORD openError = platform::kErrorFileNotFound;
    for (std::size_t i = 0; i < nodes_.size() && !node; ++i) {
        const Node& n = nodes_[i];
        if (!n.present) continue;
        if (SameName(n.path, e.name)) {
            node = i;
            openError = n.board->Config().pathOpenError;
        } else if (const auto symbolic = n.board->SymbolicName();
                   symbolic && n.path == n.board->DevicePath() && SameName(*symbolic, e.name)) {
            node = i;
            openError = n.board->Config().symbolicOpenError;
        }
    }
    if (fileName == nullptr) openError = kErrorPathNotFound;

    HANDLE result = platform::kInvalidHandleValue;
    if (!node) {
        Fail(openError);
    } else if (openError != 0) {
        Fail(openError);
    } else if (access != kDeviceAccess) {
        // The driver needs both directions for its requests and refuses anything less.
        Fail(platform::kErrorAccessDenied);
    } else if (IsWinUsbNode(nodes_[*node])) {
        // WinUSB takes any share mode and an overlapped handle (which WinUsb_Initialize needs),
        // but serves one handle of a device at a time.
        if (creationDisposition != kDeviceCreation ||
            (flagsAndAttributes &
             ~(platform::kFileAttributeNormal | platform::kFileFlagOverlapped)) != 0) {
            Fail(platform::kErrorInvalidParameter);
        } else if (OpenHandleCount(*nodes_[*node].board) > 0) {
            Fail(platform::kErrorAccessDenied);
        } else {
            result = nextHandle_;
            nextHandle_ += 4;
            handles_[result] = OpenFile{*node, nodes_[*node].generation, e.name,
                                        (flagsAndAttributes & platform::kFileFlagOverlapped) != 0};
            Succeed();
        }
    } else if (shareMode != kDeviceShareMode) {
        Fail(platform::kErrorSharingViolation);
    } else if (creationDisposition != kDeviceCreation || flagsAndAttributes != kDeviceFlags) {
        // A device can only be opened, not created; overlapped handles are not served.
        Fail(platform::kErrorInvalidParameter);
    } else if (OpenHandleCount(*nodes_[*node].board) > 0) {
        Fail(config_.busyOpenError);
    } else {
        result = nextHandle_;
        nextHandle_ += 4;
        handles_[result] = OpenFile{*node, nodes_[*node].generation, e.name};
        Succeed();
    }
    if (node) e.board = nodes_[*node].board->Id();
    e.handle = result;
    e.ok = result != platform::kInvalidHandleValue;
    Record(std::move(e));
    return result;
}

BOOL SimWindows::CloseHandle(HANDLE handle) {
    Due();
    TrafficEvent e(EventKind::CloseHandle);
    e.handle = handle;
    const auto it = handles_.find(handle);
    BOOL ok = 0;
    if (it == handles_.end()) {
        ok = Fail(platform::kErrorInvalidHandle);
    } else {
        e.name = it->second.name;
        e.board = nodes_[it->second.node].board->Id();
        handles_.erase(it);
        ok = Succeed();
    }
    e.ok = ok != 0;
    Record(std::move(e));
    return ok;
}

BOOL SimWindows::DeviceIoControl(HANDLE device, DWORD code, void* inBuffer, DWORD inSize,
                                 void* outBuffer, DWORD outSize, DWORD* bytesReturned) {
    Due();
    if (ioControlObserver_) ioControlObserver_(ioControlCount_, code);
    ++ioControlCount_;
    Due();
    // With the recorder off (the program, benchmarks, fuzzing) nothing is copied for it.
    const bool record = recorder_.Enabled();
    TrafficEvent e(EventKind::IoControl);
    e.handle = device;
    e.code = code;
    // The driver reads its input from a copy, as the kernel does for buffered requests; one
    // packet's worth lives on the stack.
    std::array<std::uint8_t, 512> smallInput;
    std::vector<std::uint8_t> largeInput;
    std::span<const std::uint8_t> in;
    if (inBuffer != nullptr && inSize <= smallInput.size()) {
        std::memcpy(smallInput.data(), inBuffer, inSize);
        in = std::span<const std::uint8_t>(smallInput.data(), inSize);
    } else {
        largeInput = CopyBytes(inBuffer, inSize);
        in = largeInput;
    }
    if (record) e.input.assign(in.begin(), in.end());
    const bool dataToDevice = TransferMethod(code) == 1;
    if (dataToDevice && record) e.output = CopyBytes(outBuffer, outSize);

    DWORD returned = 0;
    DWORD error = platform::kErrorSuccess;
    const auto it = handles_.find(device);
    if (it == handles_.end()) {
        error = platform::kErrorInvalidHandle;
    } else {
        Node& node = nodes_[it->second.node];
        if (record) e.name = node.path;
        e.board = node.board->Id();
        if (!NodeAlive(it->second)) {
            error = node.goneError;
        } else if (IsWinUsbNode(node)) {
            // WinUSB knows none of the board driver's requests.
            error = platform::kErrorInvalidFunction;
        } else if (bytesReturned == nullptr || (inBuffer == nullptr && inSize != 0) ||
                   (outBuffer == nullptr && outSize != 0)) {
            error = platform::kErrorInvalidParameter;
        } else if (const auto fault = node.board->CheckFault(code)) {
            error = *fault;
        } else {
            const std::span<std::uint8_t> out(static_cast<std::uint8_t*>(outBuffer), outSize);
            error = DispatchIoControl(*node.board, code, in, out, returned);
        }
    }
    if (error != platform::kErrorSuccess) returned = 0;
    if (bytesReturned != nullptr) *bytesReturned = returned;
    if (!dataToDevice && error == platform::kErrorSuccess && record)
        e.output = CopyBytes(outBuffer, returned);
    e.bytesReturned = returned;
    const BOOL ok = error == platform::kErrorSuccess ? Succeed() : Fail(error);
    e.ok = ok != 0;
    Record(std::move(e));
    return ok;
}

void SimWindows::OutputDebugStringA(const char* text) {
    if (text == nullptr) return;
    debug_.push_back({clock_.NowMs(), text});
    TrafficEvent e(EventKind::DebugOutput);
    e.name = text;
    e.ok = true;
    e.timeMs = clock_.NowMs();
    e.error = lastError_;
    recorder_.Record(std::move(e));
}

void SimWindows::Sleep(DWORD milliseconds) {
    Due();
    TrafficEvent e(EventKind::Sleep);
    e.code = milliseconds;
    e.ok = true;
    const DWORD keep = lastError_;
    Record(std::move(e));
    lastError_ = keep;
    clock_.Advance(milliseconds);
    Due();
}

// ---- SetupAPI -----------------------------------------------------------------------------

SimWindows::Snapshot* SimWindows::FindSnapshot(HDEVINFO set) {
    const auto it = snapshots_.find(set);
    return it == snapshots_.end() ? nullptr : &it->second;
}

HDEVINFO SimWindows::SetupDiGetClassDevsA(ProcAddress entry, const platform::GUID* classGuid,
                                          const char* enumerator, DWORD flags) {
    Due();
    TrafficEvent e(EventKind::GetClassDevs);
    e.code = flags;
    if (enumerator != nullptr) e.name = enumerator;
    HDEVINFO result = platform::kInvalidDevInfo;
    const bool allClasses = (flags & kDigcfAllClasses) != 0;
    if (!CheckEntry(entry, Function::GetClassDevs)) {
        Fail(platform::kErrorProcNotFound);
    } else if ((flags & platform::kDigcfDeviceInterface) == 0 ||
               (classGuid == nullptr && !allClasses)) {
        // Only interface sets are modelled; a class set of this kind never occurs here.
        Fail(platform::kErrorInvalidParameter);
    } else {
        Snapshot snapshot{nextSnapshot_++, {}};
        const std::string prefix =
            enumerator ? Upper(std::string("\\\\?\\") + enumerator + "#") : "";
        for (std::size_t i = 0; i < nodes_.size(); ++i) {
            const Node& n = nodes_[i];
            if ((flags & platform::kDigcfPresent) != 0 && !n.present) continue;
            if (!allClasses && !(n.guid == *classGuid)) continue;
            if (!prefix.empty() && Upper(n.path).rfind(prefix, 0) != 0) continue;
            snapshot.nodes.push_back(i);
        }
        result = 0x00160000 + 0x100 * static_cast<HDEVINFO>(snapshot.serial);
        snapshots_.emplace(result, std::move(snapshot));
        Succeed();
    }
    e.handle = result;
    e.ok = result != platform::kInvalidDevInfo;
    Record(std::move(e));
    return result;
}

BOOL SimWindows::SetupDiEnumDeviceInterfaces(ProcAddress entry, HDEVINFO set,
                                             const platform::GUID* interfaceClassGuid,
                                             DWORD memberIndex,
                                             platform::DeviceInterfaceData* data) {
    TrafficEvent e(EventKind::EnumDeviceInterfaces);
    e.handle = set;
    e.code = memberIndex;
    BOOL ok = 0;
    Snapshot* snapshot = nullptr;
    if (!CheckEntry(entry, Function::EnumDeviceInterfaces)) {
        ok = Fail(platform::kErrorProcNotFound);
    } else if ((snapshot = FindSnapshot(set)) == nullptr) {
        ok = Fail(platform::kErrorInvalidHandle);
    } else if (data == nullptr || interfaceClassGuid == nullptr) {
        ok = Fail(platform::kErrorInvalidParameter);
    } else if (data->cbSize != kInterfaceDataSize) {
        ok = Fail(kErrorInvalidUserBuffer);
    } else {
        std::optional<std::size_t> position;
        DWORD seen = 0;
        for (std::size_t i = 0; i < snapshot->nodes.size() && !position; ++i)
            if (nodes_[snapshot->nodes[i]].guid == *interfaceClassGuid && seen++ == memberIndex)
                position = i;
        if (!position) {
            ok = Fail(platform::kErrorNoMoreItems);
        } else {
            const Node& n = nodes_[snapshot->nodes[*position]];
            data->InterfaceClassGuid = n.guid;
            data->Flags = n.present ? kSpintActive : 0;
            // Ties the record to its set and member, as the real pointer does.
            data->Reserved = static_cast<std::uintptr_t>(snapshot->serial) << 16 | (*position + 1);
            e.name = n.path;
            e.board = n.board->Id();
            ok = Succeed();
        }
    }
    e.ok = ok != 0;
    Record(std::move(e));
    return ok;
}

BOOL SimWindows::SetupDiGetDeviceInterfaceDetailA(ProcAddress entry, HDEVINFO set,
                                                  platform::DeviceInterfaceData* data, void* detail,
                                                  DWORD detailSize, DWORD* requiredSize) {
    TrafficEvent e(EventKind::GetDeviceInterfaceDetail);
    e.handle = set;
    e.code = detailSize;
    BOOL ok = 0;
    Snapshot* snapshot = nullptr;
    if (!CheckEntry(entry, Function::GetDeviceInterfaceDetail)) {
        ok = Fail(platform::kErrorProcNotFound);
    } else if ((snapshot = FindSnapshot(set)) == nullptr) {
        ok = Fail(platform::kErrorInvalidHandle);
    } else if (data == nullptr) {
        ok = Fail(platform::kErrorInvalidParameter);
    } else if (data->cbSize != kInterfaceDataSize) {
        ok = Fail(kErrorInvalidUserBuffer);
    } else if ((data->Reserved >> 16) != snapshot->serial || (data->Reserved & 0xFFFF) == 0 ||
               (data->Reserved & 0xFFFF) > snapshot->nodes.size()) {
        ok = Fail(platform::kErrorInvalidParameter);
    } else {
        const Node& n = nodes_[snapshot->nodes[(data->Reserved & 0xFFFF) - 1]];
        e.name = n.path;
        e.board = n.board->Id();
        const auto needed = static_cast<DWORD>(kDetailPathOffset + n.path.size() + 1);
        if (requiredSize != nullptr) *requiredSize = needed;
        DWORD cbSize = 0;
        if (detail == nullptr) {
            ok = Fail(detailSize == 0 ? platform::kErrorInsufficientBuffer
                                      : kErrorInvalidUserBuffer);
        } else if (detailSize < sizeof cbSize ||
                   (std::memcpy(&cbSize, detail, sizeof cbSize), cbSize != kDetailFixedSize)) {
            ok = Fail(kErrorInvalidUserBuffer);
        } else if (detailSize < needed) {
            ok = Fail(platform::kErrorInsufficientBuffer);
        } else {
            std::memcpy(static_cast<char*>(detail) + kDetailPathOffset, n.path.c_str(),
                        n.path.size() + 1);
            ok = Succeed();
        }
    }
    e.ok = ok != 0;
    Record(std::move(e));
    return ok;
}

BOOL SimWindows::SetupDiDestroyDeviceInfoList(ProcAddress entry, HDEVINFO set) {
    TrafficEvent e(EventKind::DestroyDeviceInfoList);
    e.handle = set;
    BOOL ok = 0;
    if (!CheckEntry(entry, Function::DestroyDeviceInfoList))
        ok = Fail(platform::kErrorProcNotFound);
    else if (snapshots_.erase(set) == 0)
        ok = Fail(platform::kErrorInvalidHandle);
    else
        ok = Succeed();
    e.ok = ok != 0;
    Record(std::move(e));
    return ok;
}

BOOL SimWindows::GetVersionExA(ProcAddress entry, platform::OsVersionInfo* info) {
    TrafficEvent e(EventKind::GetVersionEx);
    BOOL ok = 0;
    constexpr DWORD kExSize = 156; // OSVERSIONINFOEXA is accepted as well
    if (!CheckEntry(entry, Function::GetVersionEx)) {
        ok = Fail(platform::kErrorProcNotFound);
    } else if (info == nullptr) {
        ok = Fail(platform::kErrorInvalidParameter);
    } else if (info->dwOSVersionInfoSize != kVersionInfoSize &&
               info->dwOSVersionInfoSize != kExSize) {
        ok = Fail(platform::kErrorInsufficientBuffer);
    } else if (config_.getVersionExError != 0) {
        ok = Fail(config_.getVersionExError);
    } else {
        const DWORD size = info->dwOSVersionInfoSize;
        *info = config_.version;
        info->dwOSVersionInfoSize = size;
        ok = Succeed();
    }
    e.ok = ok != 0;
    Record(std::move(e));
    return ok;
}

} // namespace flashwell::sim
