#include "protocol/program_loader.h"

namespace flashwell::protocol {

bool ProgramLoader::LoadDspProgram(int board, const std::uint32_t* image, std::int32_t count) {
    if (!channel_.IsOpen(board)) return false;
    const bool commanded = dsp_.RaiseHostCommand(board, request::LoadProgram);
    // The running program needs time to reach its loader before the words arrive.
    channel_.Sleep(100);
    channel_.Sleep(500);
    const bool sent = dsp_.SendWords(board, image, count);
    // A program with a chunk missing is not the program: the caller must know.
    return commanded && sent;
}

} // namespace flashwell::protocol
