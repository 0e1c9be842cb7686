// flashwell-imagegen <folder>: writes the eight stand-in board images into <folder>.
#include "imagegen/imagegen.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: flashwell-imagegen <output folder>\n");
        return 2;
    }
    if (auto error = flashwell::imagegen::WriteImages(argv[1]); !error.empty()) {
        std::fprintf(stderr, "flashwell-imagegen: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
