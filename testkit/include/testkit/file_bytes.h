// A file's bytes as one string, and back: tests compare and spoil what the program wrote.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace flashwell::testing {

// Empty when the file cannot be read, which the comparison that follows then shows.
inline std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void WriteAll(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

} // namespace flashwell::testing
