// SPDX-License-Identifier: LGPL-2.1-or-later
// read_inventory [DIR]: takes the host inventory once, of the host tree at
// DIR or of the live machine, and prints the number of block devices and
// the CPU seconds it took. For strace and time comparisons with lsblk.
#include "ZoHost.h"
#include "ZoHostInventory.h"

#include <cstdio>
#include <ctime>

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: %s [DIR]\n", argv[0]);
        return 2;
    }
    if (argc == 2) ZoHost::setRoot(argv[1]);
    ZoHost::current();  // the host is made before the clock starts
    const std::clock_t start = std::clock();
    ZoResult<ZoHostInventory> inv = ZoHostInventory::read();
    if (!inv) {
        std::fprintf(stderr, "read_inventory: %s\n", inv.error().AsString().c_str());
        return 1;
    }
    std::printf("%zu devices, %.3f s CPU\n", inv->devices().size(),
                static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
    return 0;
}
