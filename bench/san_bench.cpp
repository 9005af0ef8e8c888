// SPDX-License-Identifier: LGPL-2.1-or-later
// The whole host and single questions on SAN host trees of 256, 1,024 and
// 4,096 multipath maps with 4 paths each (bench/san_tree.h): the inventory,
// the map above a path, every map and every SCSI disk with their children,
// and the lookup of one path and one map. The inventory and the
// enumerations should grow linearly with the number of devices; the parent
// and single lookups should not grow at all.
//
// Trees are built once under $ZO_SAN_DIR (default /dev/shm/zodevice-san).
#include "UXScsi.h"
#include "ZoDeviceTree.h"
#include "ZoHostInventory.h"
#include "ZoInternal.h"
#include "san_tree.h"

#include <benchmark/benchmark.h>

#include <map>

namespace {

const int kPathsPerMap = 4;

struct Host {
    std::string root;
    zobench::San san;
};

Host& hostWithMaps(int maps) {
    static std::map<int, Host> hosts;
    Host& h = hosts[maps];
    if (h.root.empty()) h.root = zobench::sanTree(maps, kPathsPerMap, &h.san);
    return h;
}

// Installs the tree of this size for the benchmark's life, with the SCSI
// layer's list refreshed (once per process in real use) before timing.
class Installed {
public:
    explicit Installed(int maps) : m_host(hostWithMaps(maps)) {
        m_previous = ZoHost::install(ZoHost::makeRooted(m_host.root));
        zo_internal::resetProcessState();
        UXScsi::refreshDeviceList(UXScsi::Device::DIRECT_ACCESS, false);
        ZoDeviceTree::getDevice(m_host.san.mapNodes.front().c_str(), nullptr);  // the tree's refresh
    }
    ~Installed() {
        ZoHost::install(m_previous);
        zo_internal::resetProcessState();
    }
    const zobench::San& san() const { return m_host.san; }

private:
    Host& m_host;
    std::shared_ptr<ZoHost> m_previous;
};

void setCounters(benchmark::State& state, const zobench::San& san, bool perDevice) {
    state.counters["maps"] = static_cast<double>(san.mapNodes.size());
    state.counters["devices"] = static_cast<double>(san.blockDevices);
    if (perDevice)
        state.counters["per_device"] = benchmark::Counter(
            static_cast<double>(san.blockDevices) * state.iterations(),
            benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Inventory(benchmark::State& state) {
    Installed host(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        ZoResult<ZoHostInventory> inv = ZoHostInventory::read();
        if (!inv || inv->devices().size() != host.san().blockDevices) {
            state.SkipWithError(("inventory: " + inv.error().AsString()).c_str());
            break;
        }
    }
    setCounters(state, host.san(), true);
}

// The map above the last path of the last map.
void BM_ParentOfPath(benchmark::State& state) {
    Installed host(static_cast<int>(state.range(0)));
    const std::string path = host.san().pathNodes.back().back();
    const std::string expected = host.san().mapNodes.back();
    for (auto _ : state) {
        CLuError err;
        SP<ZoDevice> dev = ZoDeviceTree::getParentDevice(path.c_str(), &err);
        if (!dev || dev->getDevicePath() != expected) {
            state.SkipWithError(("wrong parent of " + path).c_str());
            break;
        }
    }
    setCounters(state, host.san(), false);
}

void allDevices(benchmark::State& state, ZoDevice::TYPE type) {
    Installed host(static_cast<int>(state.range(0)));
    const size_t expected = type == ZoDevice::MPIO_DISK
                                ? host.san().mapNodes.size()
                                : host.san().mapNodes.size() * kPathsPerMap + host.san().localDisks.size();
    for (auto _ : state) {
        CLuError err;
        if (ZoDeviceTree::getAllDevices(type, &err).size() != expected) {
            state.SkipWithError("wrong device list");
            break;
        }
    }
    setCounters(state, host.san(), true);
}
void BM_AllMaps(benchmark::State& state) { allDevices(state, ZoDevice::MPIO_DISK); }
void BM_AllScsiDisks(benchmark::State& state) { allDevices(state, ZoDevice::SCSI_DISK); }

// getDevice of a path and of a map, scattered over the host.
void BM_GetDevice(benchmark::State& state) {
    Installed host(static_cast<int>(state.range(0)));
    const zobench::San& san = host.san();
    size_t k = 0;
    for (auto _ : state) {
        const size_t m = (k++ * 7919) % san.mapNodes.size();
        for (const std::string& path : {san.pathNodes[m][m % kPathsPerMap], san.mapNodes[m]}) {
            if (!ZoDeviceTree::getDevice(path.c_str(), nullptr)) {
                state.SkipWithError(("lookup failed: " + path).c_str());
                return;
            }
        }
    }
    setCounters(state, san, false);
}

BENCHMARK(BM_Inventory)->Arg(256)->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParentOfPath)->Arg(256)->Arg(1024)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AllMaps)->Arg(256)->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AllScsiDisks)->Arg(256)->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetDevice)->Arg(256)->Arg(1024)->Arg(4096)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
