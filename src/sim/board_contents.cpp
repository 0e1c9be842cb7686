#include "sim/board_contents.h"

#include "boarddata/images/images.h"

#include <algorithm>
#include <sstream>

namespace flashwell::sim {

namespace {

namespace L = flash_layout;

// splitmix64: the same bytes for the same seed on every platform.
class SeededBytes {
public:
    explicit SeededBytes(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    std::uint8_t Byte() { return static_cast<std::uint8_t>(Next() >> 56); }
    std::vector<std::uint8_t> Bytes(std::size_t n) {
        std::vector<std::uint8_t> out(n);
        for (auto& b : out)
            b = Byte();
        return out;
    }

private:
    std::uint64_t state_;
};

std::vector<std::uint8_t> WordsToBytes(std::span<const std::uint32_t> words) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(words.size() * 3);
    for (std::uint32_t w : words) {
        bytes.push_back(static_cast<std::uint8_t>(w >> 16));
        bytes.push_back(static_cast<std::uint8_t>(w >> 8));
        bytes.push_back(static_cast<std::uint8_t>(w));
    }
    return bytes;
}

bool StartsWith(std::span<const std::uint8_t> region, std::span<const std::uint8_t> image) {
    return region.size() >= image.size() && std::equal(image.begin(), image.end(), region.begin());
}

bool AllErased(std::span<const std::uint8_t> region) {
    return std::all_of(region.begin(), region.end(), [](std::uint8_t b) { return b == 0xFF; });
}

// The whole area: the image, and nothing but erased bytes after it, so that a block written at
// a wrong place makes it a wrong image even when every byte of the image is in place.
bool HoldsExactly(std::span<const std::uint8_t> region, std::span<const std::uint8_t> image) {
    return StartsWith(region, image) && AllErased(region.subspan(image.size()));
}

// Offset of the 18-byte device descriptor inside an EEPROM image, if any.
std::optional<std::size_t> DescriptorOffset(std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i + 18 <= bytes.size(); ++i)
        if (FindDeviceDescriptor(bytes.subspan(i, 18))) return i;
    return std::nullopt;
}

// The compiled-in EEPROM image with every loaded byte replaced except its device descriptor:
// another program with the same identity and record layout.
std::vector<std::uint8_t> OldEepromFirmware(SeededBytes& random) {
    const auto image = images::EepromBootImageView();
    std::vector<std::uint8_t> eeprom(image.begin(), image.end());
    const auto descriptor = DescriptorOffset(image);
    std::size_t pos = 8;
    while (pos + 4 <= eeprom.size()) {
        const unsigned length = static_cast<unsigned>(eeprom[pos] << 8 | eeprom[pos + 1]);
        const std::size_t n = length & 0x3FF;
        if ((length & 0x8000) != 0) break; // the closing CPU-release record stays
        for (std::size_t i = pos + 4; i < pos + 4 + n && i < eeprom.size(); ++i) {
            const bool inDescriptor = descriptor && i >= *descriptor && i < *descriptor + 18;
            if (!inDescriptor)
                eeprom[i] = static_cast<std::uint8_t>(eeprom[i] ^ (random.Byte() | 1));
        }
        pos += 4 + n;
    }
    return eeprom;
}

} // namespace

void SetEepromContents(Board& board, std::span<const std::uint8_t> bytes) {
    auto& eeprom = board.MutableEeprom();
    std::fill(eeprom.begin(), eeprom.end(), std::uint8_t{0xFF});
    std::copy_n(bytes.begin(), std::min(bytes.size(), eeprom.size()), eeprom.begin());
}

void SetParameterBlock(Board& board, const ParameterBlock& block) {
    board.Flash().Erase(0, L::kParameterSector, L::kParameterSectorSize);
    board.Flash().Program(0, L::kParameterBlock, block);
}

void SetFpgaConfiguration(Board& board, std::span<const std::uint8_t> bytes) {
    board.Flash().Store(0, L::kFpgaArea, bytes, L::kFpgaAreaSize);
}

void SetSecondBankData(Board& board, std::span<const std::uint8_t> bytes) {
    board.Flash().Store(1, 0, bytes, L::kBankSize);
}

void SetBootArea(Board& board, std::span<const std::uint32_t> dspImage) {
    board.Flash().Store(0, L::kBootArea, WordsToBytes(dspImage), L::kBootAreaSize);
}

void SetSubId(Board& board, std::int32_t subId) {
    board.MutableConfig().subId = subId;
}

namespace {
constexpr std::uint8_t kKpciHeader[6] = {0x54, 0xAA, 0x32, 0x00, 0x00, 0x01};
constexpr std::uint8_t kKpciTrailer[3] = {0x54, 0xAA, 0x32};

std::size_t FramedKpciSize() {
    return sizeof kKpciHeader + images::KpciImage().size() + sizeof kKpciTrailer;
}
} // namespace

std::vector<std::uint8_t> FramedKpciData() {
    const auto kpci = images::KpciImage();
    std::vector<std::uint8_t> framed(FramedKpciSize());
    std::copy(std::begin(kKpciHeader), std::end(kKpciHeader), framed.begin());
    std::copy(kpci.begin(), kpci.end(), framed.begin() + sizeof kKpciHeader);
    std::copy(std::begin(kKpciTrailer), std::end(kKpciTrailer), framed.end() - sizeof kKpciTrailer);
    return framed;
}

OldContents MakeOldContents(std::uint64_t seed) {
    SeededBytes random(seed);
    OldContents old;
    old.eeprom = OldEepromFirmware(random);
    old.fpga = random.Bytes(images::kRbfImageRev11Size);
    old.secondBank = random.Bytes(FramedKpciSize());
    const auto boot = images::BootProgramImage();
    old.bootProgram.assign(boot.begin(), boot.begin() + 2);
    while (old.bootProgram.size() < boot.size())
        old.bootProgram.push_back(static_cast<std::uint32_t>(random.Next() & 0xFFFFFF));
    return old;
}

std::vector<std::uint8_t> InitialEeprom(DeviceKind kind, UsbIdentity identity) {
    switch (kind) {
    case DeviceKind::UsbBoard1801:
    case DeviceKind::UsbBoard1802: {
        // The EEPROM comes first from the seeded stream: the same bytes as MakeOldContents(0)'s,
        // without making the flash contents every board construction would throw away.
        SeededBytes random(0);
        std::vector<std::uint8_t> eeprom = OldEepromFirmware(random);
        if (const auto at = DescriptorOffset(eeprom)) {
            eeprom[*at + 10] = static_cast<std::uint8_t>(identity.product);
            eeprom[*at + 11] = static_cast<std::uint8_t>(identity.product >> 8);
        }
        return eeprom;
    }
    case DeviceKind::EzUsbBoot2131:
    case DeviceKind::OtherUsb:
        return {0xC0,
                static_cast<std::uint8_t>(identity.vendor),
                static_cast<std::uint8_t>(identity.vendor >> 8),
                static_cast<std::uint8_t>(identity.product),
                static_cast<std::uint8_t>(identity.product >> 8),
                0x00,
                0x00,
                0x04};
    case DeviceKind::EzUsbBoot8613:
    case DeviceKind::PciBoard:
        break;
    }
    return {};
}

void FillWithOldContents(Board& board, std::uint64_t seed) {
    const OldContents old = MakeOldContents(seed);
    SetEepromContents(board, old.eeprom);
    SetFpgaConfiguration(board, old.fpga);
    SetSecondBankData(board, old.secondBank);
    SetBootArea(board, old.bootProgram);
    board.PowerCycle();
}

const char* FpgaContentName(FpgaContent content) {
    switch (content) {
    case FpgaContent::Rev11:
        return "Rev11";
    case FpgaContent::Rev12:
        return "Rev12";
    case FpgaContent::Rev13:
        return "Rev13";
    case FpgaContent::Erased:
        return "erased";
    case FpgaContent::Other:
        return "other";
    }
    return "?";
}

BoardReport Inspect(Board& board) {
    board.Poll();
    BoardReport r;
    r.identity = board.Identity();
    r.attached = board.OnBus();
    r.runsBoardFirmware = board.RunningBoardFirmware() != nullptr && !board.CpuHeldInReset();
    r.dsp = board.DspRuns();

    const auto eeprom = board.Eeprom();
    r.eepromMarker = eeprom[0];
    r.eepromIsBootImage = StartsWith(eeprom, images::EepromBootImageView());

    const FlashMemory& flash = board.Flash();
    const auto fpga = flash.Range(0, L::kFpgaArea, L::kFpgaAreaSize);
    if (StartsWith(fpga, images::RbfImageRev11View()))
        r.fpga = FpgaContent::Rev11;
    else if (StartsWith(fpga, images::RbfImageRev12View()))
        r.fpga = FpgaContent::Rev12;
    else if (StartsWith(fpga, images::RbfImageRev13View()))
        r.fpga = FpgaContent::Rev13;
    else
        r.fpga = AllErased(fpga) ? FpgaContent::Erased : FpgaContent::Other;

    const auto boot = flash.Range(0, L::kBootArea, L::kBootAreaSize);
    if (HoldsExactly(boot, WordsToBytes(images::BootProgramImage())))
        r.bootProgram = BootAreaContent::BootProgram;
    else
        r.bootProgram = AllErased(boot) ? BootAreaContent::Erased : BootAreaContent::Other;

    const auto block = flash.Range(0, L::kParameterBlock, L::kParameterBlockSize);
    std::copy(block.begin(), block.end(), r.parameterBlock.begin());
    r.parameterBlockErased = AllErased(block);

    const auto second = flash.Bank(1);
    if (HoldsExactly(second, FramedKpciData()))
        r.secondBank = SecondBankContent::FramedKpci;
    else
        r.secondBank = AllErased(second) ? SecondBankContent::Erased : SecondBankContent::Other;
    return r;
}

std::string BoardReport::ToString() const {
    std::ostringstream out;
    out << "identity " << IdentityText(identity) << (attached ? "" : " (not on the bus)")
        << (runsBoardFirmware ? ", board firmware" : ", no firmware") << "\n"
        << "dsp " << DspProgramKindName(dsp) << "\n"
        << "eeprom marker " << static_cast<int>(eepromMarker)
        << (eepromIsBootImage ? ", boot image" : ", not the boot image") << "\n"
        << "fpga " << FpgaContentName(fpga) << "\n"
        << "boot area "
        << (bootProgram == BootAreaContent::BootProgram ? "boot program"
            : bootProgram == BootAreaContent::Erased    ? "erased"
                                                        : "other")
        << "\n"
        << "parameter block "
        << (parameterBlockErased ? "erased" : Text(parameterBlock, "ProductName")) << "\n"
        << "second bank "
        << (secondBank == SecondBankContent::FramedKpci ? "framed KPCI"
            : secondBank == SecondBankContent::Erased   ? "erased"
                                                        : "other")
        << "\n";
    return out.str();
}

} // namespace flashwell::sim
