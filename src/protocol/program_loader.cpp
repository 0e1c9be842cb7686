#include "protocol/board_protocol.h"

namespace flashwell::protocol {

bool BoardProtocol::LoadDspProgram(int board, const std::uint32_t* image, std::int32_t count) {
    if (!boards_.IsBoardOpen(board)) return false;
    const std::uint64_t faults = transferFaults_;
    TriggerHostCommand(board, request::LoadProgram);
    // The running program needs time to reach its loader before the words arrive.
    Sleep(100);
    Sleep(500);
    Array_To_DSP(board, image, count);
    // A program with a chunk missing is not the program: the caller must know.
    return transferFaults_ == faults;
}

} // namespace flashwell::protocol
