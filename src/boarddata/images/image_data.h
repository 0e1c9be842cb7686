// The embedded image data behind the builders of images.h. Defined in the source that
// flashwell-imagetool generates from the image files at build time.
#pragma once

#include "boarddata/images/images.h"

#include <cstdint>

namespace flashwell::images::detail {

extern const std::uint32_t kFlashProgramData[kFlashProgramCells];
extern const std::uint32_t kBootProgramData[kBootProgramCells];
extern const std::uint8_t kKpciData[kKpciBytes];

} // namespace flashwell::images::detail
