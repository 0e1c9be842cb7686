// Validation of the compiled-in board images.
//
// Used by the build-time image tool (tools/imagetool), which refuses to embed an image with a
// defect, and by the tests. The checks only read the bytes given to them, so a fuzzer can call
// CheckImage with arbitrary data.
#pragma once

#include "boarddata/images/image_list.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace flashwell::images {

// The eight image files, in a fixed order (the order the program lists its images in).
std::span<const ImageFile> ImageFiles();
const ImageFile& ImageFileFor(ImageKind kind);

// Checks one image against what the program relies on. Returns an empty string when the image is
// sound, otherwise a description of its first defect without the file name, e.g. "line 17: checksum
// 0x3A, expected 0x3B".
std::string CheckImage(ImageKind kind, std::span<const std::uint8_t> bytes);

// Reads the whole file; false when it cannot be read.
bool ReadFileBytes(const std::string& path, std::vector<std::uint8_t>& bytes);

// Reads <folder>/<fileName> and checks it. Returns "" when the file is sound, otherwise
// "<folder>/<fileName>: <first defect>". On success the file's bytes are left in *contents
// when contents is given.
std::string CheckImageFile(const std::string& folder, const ImageFile& file,
                           std::vector<std::uint8_t>* contents = nullptr);

} // namespace flashwell::images
