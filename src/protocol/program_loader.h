// Loading a program into the DSP through the load request of the program it is running.
#pragma once

#include "protocol/board_channel.h"
#include "protocol/dsp_channel.h"

#include <cstdint>

namespace flashwell::protocol {

namespace request {
inline constexpr std::int32_t LoadProgram = 5;
} // namespace request

class ProgramLoader {
public:
    ProgramLoader(BoardChannel& channel, DspChannel& dsp) : channel_(channel), dsp_(dsp) {}
    ProgramLoader(const ProgramLoader&) = delete;
    ProgramLoader& operator=(const ProgramLoader&) = delete;

    bool LoadDspProgram(int board, const std::uint32_t* image, std::int32_t count);

private:
    BoardChannel& channel_;
    DspChannel& dsp_;
};

} // namespace flashwell::protocol
