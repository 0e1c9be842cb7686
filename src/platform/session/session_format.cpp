#include "platform/session/session_format.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace flashwell::platform::session {

namespace {

// The reference byte in front of every request and answer.
constexpr std::uint8_t kLiteral = 0xFF;
constexpr std::uint8_t kShapeBase = kCacheSize; // kShapeBase + k: numbers of entry k, new blobs
// Set in the kind byte when the clock moved since the last record: the milliseconds follow.
constexpr std::uint8_t kTimeFollows = 0x80;

void PutVarint(Bytes& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(value));
}

void PutBlob(Bytes& out, const Bytes& blob) {
    PutVarint(out, blob.size());
    out.insert(out.end(), blob.begin(), blob.end());
}

// How a buffer of a call is written: the low two bits of its length word.
enum BlobMode : std::uint8_t {
    kSameAsBase = 0, // the whole length word is 0: the buffer of the referred-to call
    kRaw = 1,        // the bytes as they are
    kPatch = 2,      // as long as the base's: a bit per byte (set: differs), the differing bytes
    kNonZero = 3,    // a bit per byte (set: not zero), the bytes that are not zero
};

// Bit i of the mask (least significant bit of each mask byte first) says whether byte i is
// written out.
template <typename Keep> void PutMasked(Bytes& out, const Bytes& blob, Keep keep) {
    const std::size_t maskAt = out.size();
    out.resize(out.size() + (blob.size() + 7) / 8, 0);
    for (std::size_t i = 0; i < blob.size(); ++i) {
        if (!keep(i)) continue;
        out[maskAt + i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
        out.push_back(blob[i]);
    }
}

// Writes whichever of the modes is shortest. Pipe packets mostly differ from the last packet
// of their kind in a byte or two, and words on the pipes carry many zero bytes.
void PutCodedBlob(Bytes& out, const Bytes& blob, const Bytes* base) {
    if (base != nullptr && *base == blob) {
        out.push_back(0);
        return;
    }
    std::size_t nonZero = 0, differing = 0;
    for (std::size_t i = 0; i < blob.size(); ++i) {
        nonZero += blob[i] != 0;
        if (base != nullptr && base->size() == blob.size()) differing += blob[i] != (*base)[i];
    }
    const std::size_t mask = (blob.size() + 7) / 8;
    const bool patchable = base != nullptr && base->size() == blob.size();
    const std::size_t raw = blob.size(), zeros = mask + nonZero,
                      patch = patchable ? mask + differing : SIZE_MAX;
    if (patch < raw && patch <= zeros) {
        PutVarint(out, blob.size() * 4 + kPatch);
        PutMasked(out, blob, [&](std::size_t i) { return blob[i] != (*base)[i]; });
    } else if (zeros < raw) {
        PutVarint(out, blob.size() * 4 + kNonZero);
        PutMasked(out, blob, [&](std::size_t i) { return blob[i] != 0; });
    } else {
        PutVarint(out, blob.size() * 4 + kRaw);
        out.insert(out.end(), blob.begin(), blob.end());
    }
}

void PutPart(Bytes& out, PartCache& cache, CallKind kind, const Part& part) {
    if (const auto hit = cache.Find(kind, part)) {
        out.push_back(static_cast<std::uint8_t>(*hit));
        cache.MoveToFront(kind, *hit);
        return;
    }
    if (const auto shape = cache.FindShape(kind, part)) {
        // Requests of one kind mostly differ only in their buffers (pipe packets): name the
        // numbers by reference and repeat only the blobs that changed.
        const Part& base = *cache.At(kind, *shape);
        out.push_back(static_cast<std::uint8_t>(kShapeBase + *shape));
        for (std::size_t i = 0; i < part.blobs.size(); ++i)
            PutCodedBlob(out, part.blobs[i], &base.blobs[i]);
    } else {
        out.push_back(kLiteral);
        PutVarint(out, part.numbers.size());
        for (std::uint64_t n : part.numbers)
            PutVarint(out, n);
        PutVarint(out, part.blobs.size());
        for (const Bytes& b : part.blobs)
            PutCodedBlob(out, b, nullptr);
    }
    cache.Insert(kind, part);
}

class Cursor {
public:
    explicit Cursor(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    bool AtEnd() const { return pos_ == bytes_.size(); }
    std::size_t Position() const { return pos_; }

    bool Byte(std::uint8_t& value) {
        if (pos_ >= bytes_.size()) return false;
        value = bytes_[pos_++];
        return true;
    }
    bool Varint(std::uint64_t& value) {
        value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            std::uint8_t b = 0;
            if (!Byte(b)) return false;
            value |= static_cast<std::uint64_t>(b & 0x7F) << shift;
            if ((b & 0x80) == 0) return true;
        }
        overlong_ = true;
        return false;
    }
    bool Take(std::size_t n, Bytes& out) {
        if (bytes_.size() - pos_ < n) return false;
        out.assign(bytes_.begin() + static_cast<std::ptrdiff_t>(pos_),
                   bytes_.begin() + static_cast<std::ptrdiff_t>(pos_ + n));
        pos_ += n;
        return true;
    }
    bool Overlong() const { return overlong_; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
    bool overlong_ = false;
};

enum class ReadResult { Ok, Cut, Damaged };

// Reads a buffer written by PutCodedBlob over `blob`, which holds the base's buffer (or
// nothing, when there is no base).
ReadResult GetCodedBlob(Cursor& in, Bytes& blob, bool haveBase, std::string& why) {
    std::uint64_t word = 0;
    if (!in.Varint(word)) return in.Overlong() ? ReadResult::Damaged : ReadResult::Cut;
    const auto mode = static_cast<BlobMode>(word & 3);
    const std::uint64_t length = word >> 2;
    if (mode == kSameAsBase) {
        if (word != 0 || !haveBase) {
            why = "a buffer that refers to no earlier buffer";
            return ReadResult::Damaged;
        }
        return ReadResult::Ok;
    }
    if (length > kMaxBlobSize) {
        why = "a buffer larger than 1 MiB";
        return ReadResult::Damaged;
    }
    const auto size = static_cast<std::size_t>(length);
    if (mode == kRaw) return in.Take(size, blob) ? ReadResult::Ok : ReadResult::Cut;
    if (mode == kPatch && (!haveBase || blob.size() != size)) {
        why = "a changed buffer whose earlier form has another length";
        return ReadResult::Damaged;
    }
    Bytes mask;
    if (!in.Take((size + 7) / 8, mask)) return ReadResult::Cut;
    if (mode == kNonZero) blob.assign(size, 0);
    for (std::size_t i = 0; i < size; ++i) {
        if ((mask[i / 8] >> (i % 8) & 1) == 0) continue;
        if (!in.Byte(blob[i])) return ReadResult::Cut;
    }
    return ReadResult::Ok;
}

// Every failure to find enough bytes is a cut; values no writer produces are damage.
ReadResult GetPart(Cursor& in, PartCache& cache, CallKind kind, Part& part, std::string& why) {
    std::uint8_t ref = 0;
    if (!in.Byte(ref)) return ReadResult::Cut;
    if (ref < kShapeBase) {
        const Part* hit = cache.At(kind, ref);
        if (hit == nullptr) {
            why = "refers to an earlier " + std::string(KindName(kind)) + " that is not there";
            return ReadResult::Damaged;
        }
        part = *hit;
        cache.MoveToFront(kind, ref);
        return ReadResult::Ok;
    }
    if (ref < 2 * kShapeBase) {
        const Part* base = cache.At(kind, ref - kShapeBase);
        if (base == nullptr) {
            why = "refers to an earlier " + std::string(KindName(kind)) + " that is not there";
            return ReadResult::Damaged;
        }
        part = *base;
        for (Bytes& blob : part.blobs) {
            const ReadResult result = GetCodedBlob(in, blob, true, why);
            if (result != ReadResult::Ok) return result;
        }
    } else if (ref == kLiteral) {
        part = {};
        std::uint64_t count = 0;
        if (!in.Varint(count)) return in.Overlong() ? ReadResult::Damaged : ReadResult::Cut;
        if (count > kMaxNumbers) {
            why = "more than 16 numbers in one call";
            return ReadResult::Damaged;
        }
        part.numbers.resize(static_cast<std::size_t>(count));
        for (std::uint64_t& n : part.numbers)
            if (!in.Varint(n)) return in.Overlong() ? ReadResult::Damaged : ReadResult::Cut;
        if (!in.Varint(count)) return in.Overlong() ? ReadResult::Damaged : ReadResult::Cut;
        if (count > kMaxBlobs) {
            why = "more than 8 buffers in one call";
            return ReadResult::Damaged;
        }
        part.blobs.resize(static_cast<std::size_t>(count));
        for (Bytes& blob : part.blobs) {
            const ReadResult result = GetCodedBlob(in, blob, false, why);
            if (result != ReadResult::Ok) return result;
        }
    } else {
        why = "an unknown reference byte " + std::to_string(ref);
        return ReadResult::Damaged;
    }
    cache.Insert(kind, part);
    return ReadResult::Ok;
}

} // namespace

const char* KindName(CallKind kind) {
    switch (kind) {
    case CallKind::End:
        return "end of session";
    case CallKind::GetSystemDirectoryA:
        return "GetSystemDirectoryA";
    case CallKind::LoadLibraryA:
        return "LoadLibraryA";
    case CallKind::GetProcAddress:
        return "GetProcAddress";
    case CallKind::FreeLibrary:
        return "FreeLibrary";
    case CallKind::CreateFileA:
        return "CreateFileA";
    case CallKind::CloseHandle:
        return "CloseHandle";
    case CallKind::DeviceIoControl:
        return "DeviceIoControl";
    case CallKind::OutputDebugStringA:
        return "OutputDebugStringA";
    case CallKind::Sleep:
        return "Sleep";
    case CallKind::GetLocalTime:
        return "GetLocalTime";
    case CallKind::SetupDiGetClassDevsA:
        return "SetupDiGetClassDevsA";
    case CallKind::SetupDiEnumDeviceInterfaces:
        return "SetupDiEnumDeviceInterfaces";
    case CallKind::SetupDiGetDeviceInterfaceDetailA:
        return "SetupDiGetDeviceInterfaceDetailA";
    case CallKind::SetupDiDestroyDeviceInfoList:
        return "SetupDiDestroyDeviceInfoList";
    case CallKind::GetVersionExA:
        return "GetVersionExA";
    case CallKind::MessageBox:
        return "message box";
    case CallKind::SubIdDialog:
        return "SubID dialog";
    case CallKind::LogLine:
        return "log line";
    }
    return "unknown call";
}

namespace {

std::uint64_t Mix(std::uint64_t hash, std::uint64_t value) {
    return (hash ^ value) * 0x100000001B3ull;
}

std::uint64_t ShapeHash(const Part& part) {
    std::uint64_t hash = 0xCBF29CE484222325ull;
    for (std::uint64_t n : part.numbers)
        hash = Mix(hash, n);
    return Mix(hash, part.blobs.size());
}

std::uint64_t PartHash(const Part& part) {
    std::uint64_t hash = ShapeHash(part);
    for (const Bytes& blob : part.blobs) {
        hash = Mix(hash, blob.size());
        for (std::uint8_t b : blob)
            hash = Mix(hash, b);
    }
    return hash;
}

} // namespace

std::optional<std::size_t> PartCache::Find(CallKind kind, const Part& part) const {
    const auto& list = entries_[static_cast<std::size_t>(kind)];
    const std::uint64_t hash = PartHash(part);
    for (std::size_t i = 0; i < list.size(); ++i)
        if (list[i].hash == hash && list[i].part == part) return i;
    return std::nullopt;
}

std::optional<std::size_t> PartCache::FindShape(CallKind kind, const Part& part) const {
    const auto& list = entries_[static_cast<std::size_t>(kind)];
    const std::uint64_t shape = ShapeHash(part);
    for (std::size_t i = 0; i < list.size(); ++i)
        if (list[i].shape == shape && list[i].part.numbers == part.numbers &&
            list[i].part.blobs.size() == part.blobs.size())
            return i;
    return std::nullopt;
}

const Part* PartCache::At(CallKind kind, std::size_t index) const {
    const auto& list = entries_[static_cast<std::size_t>(kind)];
    return index < list.size() ? &list[index].part : nullptr;
}

void PartCache::MoveToFront(CallKind kind, std::size_t index) {
    auto& list = entries_[static_cast<std::size_t>(kind)];
    if (index < list.size())
        std::rotate(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(index),
                    list.begin() + static_cast<std::ptrdiff_t>(index) + 1);
}

void PartCache::Insert(CallKind kind, const Part& part) {
    auto& list = entries_[static_cast<std::size_t>(kind)];
    if (list.size() == kCacheSize) list.pop_back();
    list.insert(list.begin(), Entry{PartHash(part), ShapeHash(part), part});
}

Bytes EncodeHeader(const Header& header) {
    Bytes out(std::begin(kMagic), std::end(kMagic));
    PutVarint(out, header.version);
    PutVarint(out, header.pointerSize);
    Bytes origin(header.origin.begin(), header.origin.end());
    if (origin.size() > kMaxOriginSize) origin.resize(kMaxOriginSize);
    PutBlob(out, origin);
    return out;
}

namespace {

void EncodeRecord(Bytes& out, PartCache& requests, PartCache& answers, std::uint64_t& lastTime,
                  const Record& record) {
    // A clock that went backwards (it should not) is written as no time passing.
    const std::uint64_t time = std::max(record.timeMs, lastTime);
    if (time == lastTime) {
        out.push_back(static_cast<std::uint8_t>(record.kind));
    } else {
        out.push_back(static_cast<std::uint8_t>(record.kind) | kTimeFollows);
        PutVarint(out, time - lastTime);
    }
    lastTime = time;
    if (record.kind == CallKind::End) return;
    PutPart(out, requests, record.kind, record.request);
    PutPart(out, answers, record.kind, record.answer);
}

} // namespace

std::unique_ptr<SessionWriter> SessionWriter::Create(const std::string& path, const Header& header,
                                                     std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = "cannot create the session file '" + path + "': " + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<SessionWriter> writer(new SessionWriter(file));
    writer->Write(EncodeHeader(header));
    if (!writer->healthy_) {
        error = "cannot write the session file '" + path + "'";
        return nullptr;
    }
    return writer;
}

SessionWriter::~SessionWriter() {
    if (file_ != nullptr) std::fclose(file_);
}

void SessionWriter::Write(const Bytes& bytes) {
    if (!healthy_ || file_ == nullptr) return;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size() ||
        std::fflush(file_) != 0) {
        healthy_ = false;
        return;
    }
    written_ += bytes.size();
}

void SessionWriter::Append(const Record& record) {
    Bytes out;
    EncodeRecord(out, requests_, answers_, lastTime_, record);
    Write(out);
}

void SessionWriter::Finish(std::uint64_t timeMs) {
    if (file_ == nullptr) return;
    Record end;
    end.kind = CallKind::End;
    end.timeMs = timeMs;
    Append(end);
    std::fclose(file_);
    file_ = nullptr;
}

std::optional<SessionContents> ParseSession(std::span<const std::uint8_t> bytes,
                                            std::string& error) {
    if (bytes.size() < sizeof kMagic || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
        error = "not a session file (it does not begin with the session mark)";
        return std::nullopt;
    }
    Cursor in(bytes.subspan(sizeof kMagic));
    SessionContents contents;
    std::uint64_t version = 0, pointerSize = 0, originSize = 0;
    if (!in.Varint(version) || !in.Varint(pointerSize) || !in.Varint(originSize)) {
        error = "the session file's header is cut short";
        return std::nullopt;
    }
    if (version != kFormatVersion) {
        error = "session format version " + std::to_string(version) +
                " is not known to this program (it reads version " +
                std::to_string(kFormatVersion) + ")";
        return std::nullopt;
    }
    if (pointerSize != 4 && pointerSize != 8) {
        error = "the session file's header names a pointer size of " + std::to_string(pointerSize) +
                " bytes";
        return std::nullopt;
    }
    Bytes origin;
    if (originSize > kMaxOriginSize || !in.Take(static_cast<std::size_t>(originSize), origin)) {
        error = "the session file's header is cut short";
        return std::nullopt;
    }
    contents.header.version = static_cast<std::uint32_t>(version);
    contents.header.pointerSize = static_cast<std::uint32_t>(pointerSize);
    contents.header.origin.assign(origin.begin(), origin.end());

    PartCache requests, answers;
    std::uint64_t time = 0;
    for (;;) {
        const std::size_t number = contents.records.size() + 1;
        if (in.AtEnd()) {
            contents.stop = "the session ends after call " + std::to_string(number - 1) +
                            " without its end mark (the recording was cut off)";
            break;
        }
        std::uint8_t kind = 0;
        in.Byte(kind);
        const bool timeFollows = (kind & kTimeFollows) != 0;
        kind &= static_cast<std::uint8_t>(~kTimeFollows);
        if (kind > kLastKind) {
            contents.stop = "record " + std::to_string(number) + " is damaged: unknown kind " +
                            std::to_string(kind);
            break;
        }
        Record record;
        record.kind = static_cast<CallKind>(kind);
        std::uint64_t delta = 0;
        if (timeFollows && !in.Varint(delta)) {
            contents.stop = "the session ends inside call " + std::to_string(number) +
                            " (the recording was cut off)";
            break;
        }
        // Saturate: a damaged delta must not wrap the clock around.
        time = delta > UINT64_MAX - time ? UINT64_MAX : time + delta;
        record.timeMs = time;
        if (record.kind == CallKind::End) {
            contents.complete = true;
            contents.endTimeMs = time;
            break;
        }
        std::string why;
        ReadResult result = GetPart(in, requests, record.kind, record.request, why);
        if (result == ReadResult::Ok)
            result = GetPart(in, answers, record.kind, record.answer, why);
        if (result == ReadResult::Cut) {
            contents.stop = "the session ends inside call " + std::to_string(number) +
                            " (the recording was cut off)";
            break;
        }
        if (result == ReadResult::Damaged) {
            contents.stop = "record " + std::to_string(number) +
                            " is damaged: " + (why.empty() ? "a number longer than 64 bits" : why);
            break;
        }
        contents.records.push_back(std::move(record));
    }
    return contents;
}

std::optional<SessionContents> LoadSession(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open the session file '" + path + "'";
        return std::nullopt;
    }
    const Bytes bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto contents = ParseSession(bytes, error);
    if (!contents) error = "'" + path + "': " + error;
    return contents;
}

Bytes EncodeSession(const SessionContents& contents) {
    Bytes out = EncodeHeader(contents.header);
    PartCache requests, answers;
    std::uint64_t lastTime = 0;
    for (const Record& record : contents.records)
        EncodeRecord(out, requests, answers, lastTime, record);
    if (contents.complete) {
        Record end;
        end.timeMs = contents.endTimeMs;
        EncodeRecord(out, requests, answers, lastTime, end);
    }
    return out;
}

} // namespace flashwell::platform::session
