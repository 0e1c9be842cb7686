// How the arguments and results of each call are laid out in a record's numbers and buffers;
// shared by the recording and the replaying port (docs/sessions.md lists the same).
#pragma once

#include "platform/os_port.h"
#include "platform/session/session_format.h"

#include <cstring>

namespace flashwell::platform::session::detail {

// DeviceIoControl: method 1 (direct input) hands the output buffer to the driver as data.
inline constexpr DWORD kMethodMask = 3;
inline constexpr DWORD kMethodInDirect = 1;

// Request fields that depend on the recording program's pointer size; compared only when the
// replaying program has the same.
inline constexpr std::size_t kEnumCbSizeField = 5;
inline constexpr std::size_t kDetailCbSizeField = 4;

inline Bytes Text(const char* text) {
    if (text == nullptr) return {};
    return Bytes(text, text + std::strlen(text));
}

inline Bytes Raw(const void* data, std::size_t size) {
    if (data == nullptr || size == 0) return {};
    const auto* p = static_cast<const std::uint8_t*>(data);
    return Bytes(p, p + size);
}

inline Bytes GuidBytes(const GUID* guid) {
    if (guid == nullptr) return {};
    Bytes out;
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(guid->Data1 >> (8 * i)));
    for (int i = 0; i < 2; ++i)
        out.push_back(static_cast<std::uint8_t>(guid->Data2 >> (8 * i)));
    for (int i = 0; i < 2; ++i)
        out.push_back(static_cast<std::uint8_t>(guid->Data3 >> (8 * i)));
    out.insert(out.end(), guid->Data4, guid->Data4 + 8);
    return out;
}

inline void GuidFromBytes(const Bytes& bytes, GUID& guid) {
    if (bytes.size() != 16) return;
    guid.Data1 = 0;
    for (int i = 0; i < 4; ++i)
        guid.Data1 |= static_cast<std::uint32_t>(bytes[static_cast<std::size_t>(i)]) << (8 * i);
    guid.Data2 = static_cast<std::uint16_t>(bytes[4] | bytes[5] << 8);
    guid.Data3 = static_cast<std::uint16_t>(bytes[6] | bytes[7] << 8);
    std::memcpy(guid.Data4, bytes.data() + 8, 8);
}

// The bytes a call changed in a buffer: the first changed offset and the run up to the last
// changed byte. Replaying them over the program's buffer gives what the call left there.
inline std::uint64_t ChangedRange(const std::uint8_t* before, const std::uint8_t* after,
                                  std::size_t size, Bytes& changed) {
    changed.clear();
    std::size_t first = 0;
    while (first < size && before[first] == after[first])
        ++first;
    if (first == size) return 0;
    std::size_t last = size;
    while (before[last - 1] == after[last - 1])
        --last;
    changed.assign(after + first, after + last);
    return first;
}

} // namespace flashwell::platform::session::detail
