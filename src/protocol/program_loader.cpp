#include "protocol/board_protocol.h"

namespace flashwell::protocol {

bool BoardProtocol::LoadDspProgram(int board, const std::uint32_t* image, std::int32_t count) {
    if (!boards_.IsBoardOpen(board)) return false;
    TriggerHostCommand(board, request::LoadProgram);
    // The running program needs time to reach its loader before the words arrive.
    Sleep(100);
    Sleep(500);
    Array_To_DSP(board, image, count);
    return true;
}

} // namespace flashwell::protocol
