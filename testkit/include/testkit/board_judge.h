// What the default board must hold after a power cycle for an update to have done its work;
// shared by the fault sweep and the device fuzz harness, which judge runs alike.
#pragma once

#include "sim/board_contents.h"

namespace flashwell::sweep {

inline bool EveryImageInPlace(const sim::BoardReport& r, const sim::ParameterBlock& intended) {
    return r.eepromIsBootImage && r.identity == sim::kBoardIdentity &&
           r.fpga == sim::FpgaContent::Rev12 &&
           r.bootProgram == sim::BootAreaContent::BootProgram &&
           r.secondBank == sim::SecondBankContent::FramedKpci && r.parameterBlock == intended;
}

} // namespace flashwell::sweep
