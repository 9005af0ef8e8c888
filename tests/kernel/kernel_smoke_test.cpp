// SPDX-License-Identifier: LGPL-2.1-or-later
// The guest program runs and the library answers in a real kernel: the
// results disk is a virtio disk, which no kind of the library claims.
#include "ZoDeviceTree.h"
#include "ZoProcess.h"
#include "kernel_support.h"

namespace {

TEST(KernelSmoke, LibraryRunsCommandsInTheGuest) {
    std::string out;
    ASSERT_EQ(ZoProcess::system("uname -r", &out, nullptr, 0, false), 0);
    EXPECT_TRUE(zk::same("kernel release", "/proc/sys/kernel/osrelease",
                         zk::readFile("/proc/sys/kernel/osrelease"), zo_str::trimmed(out)));
}

TEST(KernelSmoke, VirtioDiskIsNoKind) {
    EXPECT_EQ(zk::compareKindsOfAllDevices().size(), 1u) << "the results disk only";
}

}  // namespace
