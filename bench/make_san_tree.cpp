// SPDX-License-Identifier: LGPL-2.1-or-later
// make_san_tree MAPS [PATHS]: builds (or finds) the SAN host tree of MAPS
// multipath maps over PATHS paths each (4 by default) under $ZO_SAN_DIR
// (default /dev/shm/zodevice-san) and prints its root and its number of
// block devices.
#include "san_tree.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || std::atoi(argv[1]) <= 0 || (argc == 3 && std::atoi(argv[2]) <= 0)) {
        std::fprintf(stderr, "usage: %s MAPS [PATHS]\n", argv[0]);
        return 2;
    }
    try {
        zobench::San san;
        const std::string root = zobench::sanTree(std::atoi(argv[1]), argc == 3 ? std::atoi(argv[2]) : 4, &san);
        std::printf("%s %zu\n", root.c_str(), san.blockDevices);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_san_tree: %s\n", e.what());
        return 1;
    }
}
