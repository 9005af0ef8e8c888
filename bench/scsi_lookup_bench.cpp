// SPDX-License-Identifier: LGPL-2.1-or-later
// Time per lookup of a SCSI disk on host trees of 256, 1,024 and 4,096
// disks, by its by-id link and by its node. A lookup should cost the same
// whatever the number of disks.
//
// Trees are built under $TMPDIR, or /dev/shm when TMPDIR is unset (building
// thousands of sysfs entries on a slow disk takes minutes).
#include "UXScsi.h"
#include "ZoDeviceTree.h"
#include "ZoInternal.h"
#include "ZoScsiDiskDevice.h"
#include "support/host_tree.h"
#include "support/devices.h"

#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

// The major of the kernel's sd disk with this index (16 disks per major).
int sdMajor(int index) {
    static const int majors[16] = {8, 65, 66, 67, 68, 69, 70, 71, 128, 129, 130, 131, 132, 133, 134, 135};
    return majors[(index & 0xf0) >> 4];
}

struct San {
    std::unique_ptr<zotest::HostTree> tree;
    std::vector<std::string> nodes;
    std::vector<std::string> links;
};

// One tree per size, built on first use and kept for the process.
San& sanOf(int disks) {
    static std::map<int, San> sans;
    San& san = sans[disks];
    if (san.tree) return san;
    san.tree.reset(new zotest::HostTree());
    for (int i = 0; i < disks; ++i) {
        zotest::ScsiDiskSpec disk;
        disk.name = "sd" + getAAName(i);
        disk.host = i / 256;
        disk.target = i % 256;
        disk.major = sdMajor(i);
        disk.minor = ((i & 0xf) << 4) | (i & 0xfff00);
        disk.seed = static_cast<uint64_t>(i) + 1;
        disk.byIdLink = "/dev/disk/by-id/scsi-" + zotest::wwidOfSeed(disk.seed);
        zotest::addScsiDisk(*san.tree, disk);
        san.nodes.push_back("/dev/" + disk.name);
        san.links.push_back(disk.byIdLink);
    }
    return san;
}

// Installs the tree of this size and refreshes the SCSI layer's list.
std::unique_ptr<zotest::HostTree::Installed> useSan(San& san) {
    std::unique_ptr<zotest::HostTree::Installed> installed(
        new zotest::HostTree::Installed(san.tree->install()));
    zo_internal::resetProcessState();
    UXScsi::refreshDeviceList(UXScsi::Device::DIRECT_ACCESS, false);
    return installed;
}

// Looks up the disks in a scattered order, so that no position in the list
// is favoured.
template <class Lookup>
void lookupLoop(benchmark::State& state, const std::vector<std::string>& paths, Lookup lookup) {
    const size_t n = paths.size();
    size_t k = 0;
    for (auto _ : state) {
        const std::string& path = paths[(k++ * 7919) % n];
        CLuError err;
        SP<ZoDevice> dev = lookup(path.c_str(), &err);
        if (!dev) {
            state.SkipWithError(("lookup failed: " + path + ": " + err.AsString()).c_str());
            break;
        }
        benchmark::DoNotOptimize(dev.get());
    }
    state.counters["disks"] = static_cast<double>(n);
}

void BM_GetDeviceByIdLink(benchmark::State& state) {
    San& san = sanOf(static_cast<int>(state.range(0)));
    auto installed = useSan(san);
    ZoDeviceTree::getDevice(san.links.front().c_str(), nullptr);  // the once-per-process refresh
    lookupLoop(state, san.links, &ZoDeviceTree::getDevice);
}

void BM_GetDeviceByNode(benchmark::State& state) {
    San& san = sanOf(static_cast<int>(state.range(0)));
    auto installed = useSan(san);
    ZoDeviceTree::getDevice(san.nodes.front().c_str(), nullptr);
    lookupLoop(state, san.nodes, &ZoDeviceTree::getDevice);
}

// The SCSI kind alone, without the other kinds getDevice offers the path to.
void BM_ScsiGetInstanceByIdLink(benchmark::State& state) {
    San& san = sanOf(static_cast<int>(state.range(0)));
    auto installed = useSan(san);
    lookupLoop(state, san.links, &ZoScsiDiskDevice::getInstance);
}

// The once-per-process cost the lookups are spared: reading the list.
void BM_RefreshDeviceList(benchmark::State& state) {
    San& san = sanOf(static_cast<int>(state.range(0)));
    auto installed = useSan(san);
    for (auto _ : state) UXScsi::refreshDeviceList(UXScsi::Device::DIRECT_ACCESS, false);
    state.counters["disks"] = static_cast<double>(san.nodes.size());
}

BENCHMARK(BM_GetDeviceByIdLink)->Arg(256)->Arg(1024)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetDeviceByNode)->Arg(256)->Arg(1024)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ScsiGetInstanceByIdLink)->Arg(256)->Arg(1024)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RefreshDeviceList)->Arg(256)->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    struct stat st;
    if (!std::getenv("TMPDIR") && ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode))
        ::setenv("TMPDIR", "/dev/shm", 0);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
