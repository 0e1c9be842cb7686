#include "protocol/board_protocol.h"

namespace flashwell::protocol {

BoardProtocol::BoardProtocol(device::BoardTable& boards, platform::UiPort& ui)
    : channel_(boards), dsp_(channel_), ezusb_(channel_), loader_(channel_, dsp_),
      flash_(channel_, dsp_, ui), images_(flash_, ui) {
    boards.SetOpenedHook([this](int board) { dsp_.ProbeBoardSpeed(board); });
}

BoardProtocol::BoardProtocol(const BoardProtocol& other, device::BoardTable& boards,
                             platform::UiPort& ui)
    : BoardProtocol(boards, ui) {
    channel_.TakeStateOf(other.channel_);
    dsp_.TakeStateOf(other.dsp_);
    flash_.TakeStateOf(other.flash_);
}

} // namespace flashwell::protocol
