// The parameter block: any 7174 bytes read from a board unpack, and a record packed back into
// the same block unpacks to itself (the update writes the block it read with a few fields
// changed, so a field that does not survive the trip would be lost calibration data).
#include "boarddata/flash_data.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace flashwell::boarddata;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Short inputs leave the rest of the block erased, as a fresh flash sector is.
    FlashDataBlock block;
    block.fill(0xFF);
    std::copy_n(data, std::min(size, block.size()), block.begin());

    FlashDataRecord record;
    if (!UnpackFlashData(block, record)) return 0;

    FlashDataBlock packed = block;
    if (!PackFlashData(record, packed)) std::abort();
    FlashDataRecord again;
    if (!UnpackFlashData(packed, again)) std::abort();
    if (!(again == record)) {
        std::fprintf(stderr, "a packed record does not unpack to itself\n");
        std::abort();
    }
    // Packing what was just unpacked from a packed block changes no byte any more.
    FlashDataBlock repacked = packed;
    PackFlashData(again, repacked);
    if (repacked != packed) {
        std::fprintf(stderr, "packing the same record twice gives two blocks\n");
        std::abort();
    }
    return 0;
}
