#include "sim/dsp_programs.h"

#include "sim/board.h"

namespace flashwell::sim {

namespace {

constexpr std::uint8_t kLoadVector = 5;
constexpr std::uint8_t kQuery = 65;
constexpr std::uint8_t kReadCells = 68;
constexpr std::uint8_t kSelectBank = 69;
constexpr std::uint8_t kWriteOrErase = 104;
constexpr std::uint32_t kLeadWrite = 2;
constexpr std::uint32_t kLeadErase = 3;
constexpr std::uint32_t kQueryFlag = 0x800000;
constexpr std::uint32_t kSubIdQuery = 127;
// A DspImage is never longer than the DSP's program memory.
constexpr std::uint32_t kMaxImageWords = 0x10000;

} // namespace

const char* DspProgramKindName(DspProgramKind kind) {
    switch (kind) {
    case DspProgramKind::Idle:
        return "idle";
    case DspProgramKind::Loader:
        return "loader";
    case DspProgramKind::FlashAccess:
        return "flash-access program";
    case DspProgramKind::BootProgram:
        return "boot program";
    case DspProgramKind::Unknown:
        return "unknown program";
    case DspProgramKind::Custom:
        return "custom program";
    }
    return "?";
}

std::uint64_t BoardDspProgram::Now() const {
    return board_->NowMs();
}

void BoardDspProgram::Discard(DspHostInterface& host) {
    while (host.DspRead()) {
    }
}

void BoardDspProgram::OnHostCommand(DspHostInterface& host, std::uint8_t vector) {
    // Not yet running, or busy: the command is lost.
    if (!Started() || Busy()) return;
    if (vector == kLoadVector && AcceptsLoad()) {
        loading_ = true;
        image_.clear();
        loadFrom_ = Now() + board_->Config().timing.loadPrepareMs;
        return;
    }
    if (!loading_) OnCommand(host, vector);
}

void BoardDspProgram::OnWordsReceived(DspHostInterface& host) {
    if (!Started()) return Discard(host);
    if (!loading_) {
        OnWords(host);
        return;
    }
    // The loader is not ready for the image yet.
    if (Now() < loadFrom_) return Discard(host);
    while (const auto w = host.DspRead()) {
        image_.push_back(*w);
        const std::uint32_t n = image_.front();
        if (n > kMaxImageWords) {
            // Not an image: the loader gives up and the program keeps running.
            loading_ = false;
            return;
        }
        if (image_.size() == std::size_t{n} + 2) {
            loading_ = false;
            // Replaces this program once the callback returns; later words wait in the FIFO.
            board_->StartDspImage(image_);
            return;
        }
    }
}

void BoardDspProgram::OnTransmitEmpty(DspHostInterface& host) {
    OnIdleTransmit(host);
}

bool BootDspProgram::AcceptsLoad() const {
    return !board_->BootProgramWritePending();
}

bool FlashAccessDspProgram::Busy() const {
    return pendingStatus_ && Now() < statusAt_;
}

void FlashAccessDspProgram::DeliverStatus(DspHostInterface& host) {
    if (!pendingStatus_ || Now() < statusAt_) return;
    host.DspWrite(*pendingStatus_);
    pendingStatus_.reset();
    statusAwaited_ = false;
}

std::optional<std::uint64_t> FlashAccessDspProgram::AnswerDueAt() const {
    if (pendingStatus_ && statusAwaited_) return statusAt_;
    return std::nullopt;
}

void FlashAccessDspProgram::OnIdleTransmit(DspHostInterface& host) {
    DeliverStatus(host);
}

void FlashAccessDspProgram::OnCommand(DspHostInterface& host, std::uint8_t vector) {
    // A status nobody fetched still lies in the transmit register.
    DeliverStatus(host);
    args_.clear();
    data_.clear();
    switch (vector) {
    case kQuery:
        stage_ = Stage::Query;
        break;
    case kReadCells:
        stage_ = Stage::Read;
        break;
    case kSelectBank:
        stage_ = Stage::Bank;
        break;
    case kWriteOrErase:
        stage_ = Stage::Lead;
        break;
    default:
        stage_ = Stage::Idle;
        break;
    }
}

void FlashAccessDspProgram::OnWords(DspHostInterface& host) {
    while (const auto w = host.DspRead())
        OnWord(host, *w);
}

void FlashAccessDspProgram::OnWord(DspHostInterface& host, std::uint32_t word) {
    switch (stage_) {
    case Stage::Idle:
        return;
    case Stage::Query:
        args_.push_back(word);
        if ((word & kQueryFlag) != 0)
            stage_ = Stage::QueryExtra;
        else
            Finish(host);
        return;
    case Stage::QueryExtra:
        args_.push_back(word);
        Finish(host);
        return;
    case Stage::Lead:
        stage_ = word == kLeadWrite   ? Stage::Write
                 : word == kLeadErase ? Stage::Erase
                                      : Stage::Idle;
        return;
    case Stage::Write:
        args_.push_back(word);
        if (args_.size() == 2) {
            stage_ = Stage::WriteData;
            wordsFrom_ = Now() + board_->Config().timing.blockPrepareMs;
            if (args_[1] == 0) Finish(host);
        }
        return;
    case Stage::WriteData:
        // The block is still being prepared: the word is lost.
        if (Now() < wordsFrom_) return;
        data_.push_back(static_cast<std::uint8_t>(word));
        if (data_.size() == args_[1]) Finish(host);
        return;
    case Stage::Read:
        args_.push_back(word);
        if (args_.size() == 2) Finish(host);
        return;
    case Stage::Bank:
    case Stage::Erase:
        args_.push_back(word);
        Finish(host);
        return;
    }
}

void FlashAccessDspProgram::Finish(DspHostInterface& host) {
    namespace L = flash_layout;
    FlashMemory& flash = board_->Flash();
    const int bank = flash.SelectedBank();
    const Stage stage = stage_;
    stage_ = Stage::Idle;
    FlashOperation op;
    op.bank = bank;
    switch (stage) {
    case Stage::Query:
    case Stage::QueryExtra: {
        const std::uint32_t argument = args_.front() & ~kQueryFlag;
        host.DspWrite(argument == kSubIdQuery ? static_cast<std::uint32_t>(board_->SubId()) : 0);
        return;
    }
    case Stage::Read: {
        const std::uint32_t address = args_[0];
        const std::uint32_t count = args_[1];
        const auto bytes = flash.Bank(bank);
        // Reads go through the window onto the selected bank; a read that leaves it is refused
        // and answers nothing.
        const bool inside = address >= L::kReadWindow &&
                            std::uint64_t{address} - L::kReadWindow + count <= bytes.size();
        if (inside) {
            for (std::uint32_t i = 0; i < count; ++i)
                host.DspWrite(bytes[address - L::kReadWindow + i]);
        }
        op = {FlashOperation::Kind::Read, bank, address, count, inside ? 0 : kStatusRefused};
        break;
    }
    case Stage::Bank:
        flash.SelectBank(static_cast<int>(args_[0] & 1));
        host.DspWrite(0);
        op = {FlashOperation::Kind::SelectBank, flash.SelectedBank(), args_[0], 0, 0};
        break;
    case Stage::WriteData:
    case Stage::Write: {
        const std::size_t address = args_[0];
        const std::size_t count = data_.size();
        std::uint32_t status = kStatusRefused;
        // Blocks start on a block boundary of their area and hold at most one block.
        const bool aligned = address % L::kBlockSize == 0 && count <= L::kBlockSize;
        const BoardArea area = bank == 1                 ? BoardArea::SecondBank
                               : address >= L::kFpgaArea ? BoardArea::Fpga
                                                         : BoardArea::ParameterBlock;
        if (aligned && !board_->NextBlockWriteFails() && board_->WriteInto(area)) {
            if (bank == 0 && address + count <= L::kParameterBlockSize) {
                flash.Program(0, L::kParameterBlock + address, data_);
                status = 0;
            } else if (bank == 0 && address >= L::kFpgaArea && address + count <= L::kBankSize) {
                // The configuration area has no erase request of its own.
                flash.Erase(0, address, count);
                flash.Program(0, address, data_);
                status = 0;
            } else if (bank == 1 && address + count <= L::kBankSize) {
                flash.Program(1, address, data_);
                status = 0;
            }
        }
        pendingStatus_ = status;
        statusAt_ = Now() + board_->Config().timing.blockWriteMs;
        statusAwaited_ = false;
        op = {FlashOperation::Kind::Write, bank, args_[0], static_cast<std::uint32_t>(count),
              status};
        break;
    }
    case Stage::Erase: {
        const std::uint32_t address = args_[0];
        std::uint32_t status = kStatusRefused;
        if (!board_->NextEraseFails()) {
            if (bank == 0 && address == L::kParameterEraseWord) {
                flash.Erase(0, L::kParameterSector, L::kParameterSectorSize);
                status = 0;
            } else if (bank == 1 && address == L::kSecondBankEraseWord &&
                       flash.EraseCursor() < L::kSecondBankSectors) {
                flash.Erase(1, flash.EraseCursor() * L::kSecondBankSector, L::kSecondBankSector);
                flash.AdvanceEraseCursor();
                status = 0;
            }
        }
        // The status comes when the sector is erased; the host's read of it waits until then.
        pendingStatus_ = status;
        statusAt_ = Now() + board_->Config().timing.eraseMs;
        statusAwaited_ = true;
        op = {FlashOperation::Kind::Erase, bank, address, 0, status};
        break;
    }
    case Stage::Idle:
    case Stage::Lead:
        return;
    }
    board_->NoteFlashOperation(op);
}

} // namespace flashwell::sim
