// Parent lookup and map enumeration on SAN host trees of 256 and 1,024
// multipath maps with 4 paths each. getParentDevice on a SCSI path builds
// every map with all its paths, so both should grow linearly with the
// number of paths.
//
// Trees are built under $TMPDIR, or /dev/shm when TMPDIR is unset.
#include "UXScsi.h"
#include "ZoDeviceTree.h"
#include "ZoInternal.h"
#include "ZoScsiDiskDevice.h"
#include "support/dm_tree.h"
#include "support/host_tree.h"
#include "support/scsi_tree.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>

namespace {

const int kPathsPerMap = 4;

// A SAN: `maps` maps ("mpath" + letters, dm-0 upwards), each over pathsPerMap
// SCSI disks on hosts 0 to pathsPerMap-1 (LUN = the map's index) that answer
// with the map's WWID.
struct San {
    std::vector<zotest::DmMap> maps;
    std::vector<std::vector<std::string>> paths;  // per map, the path nodes ("/dev/sdX")
};

San addSan(zotest::HostTree& tree, int maps, int pathsPerMap) {
    // The sd majors in the kernel's order, 16 disks each; made-up ones after.
    static const int kSdMajors[] = {8, 65, 66, 67, 68, 69, 70, 71,
                                    128, 129, 130, 131, 132, 133, 134, 135};
    San san;
    for (int m = 0, disk = 0; m < maps; ++m) {
        zotest::DmMapSpec map;
        map.name = "mpath" + getAAName(m);
        map.minor = m;
        map.wwid = zotest::wwidOfSeed(m + 1);
        san.paths.emplace_back();
        for (int p = 0; p < pathsPerMap; ++p, ++disk) {
            zotest::ScsiDiskSpec s;
            s.name = "sd" + getAAName(disk);
            s.host = p;
            s.lun = m;
            s.major = disk < 256 ? kSdMajors[disk / 16] : 1000 + disk / 16;
            s.minor = (disk % 16) * 16;
            s.seed = m + 1;
            san.paths.back().push_back(zotest::addScsiDisk(tree, s).node);
            map.paths.push_back(s.name);
        }
        san.maps.push_back(zotest::addMultipathMap(tree, map));
    }
    return san;
}

struct Host {
    std::unique_ptr<zotest::HostTree> tree;
    San san;
};

// One tree per size, built on first use and kept for the process.
Host& hostWithMaps(int maps) {
    static std::map<int, Host> hosts;
    auto it = hosts.find(maps);
    if (it != hosts.end()) return it->second;
    if (!std::getenv("TMPDIR")) setenv("TMPDIR", "/dev/shm", 1);
    Host h;
    h.tree.reset(new zotest::HostTree());
    h.san = addSan(*h.tree, maps, kPathsPerMap);
    return hosts.emplace(maps, std::move(h)).first->second;
}

// Installs the tree of this size for the benchmark's life, with the SCSI
// layer's list refreshed before the timing starts.
class Installed {
public:
    explicit Installed(int maps) : m_host(hostWithMaps(maps)), m_guard(m_host.tree->install()) {
        zo_internal::resetProcessState();
        UXScsi::refreshDeviceList(UXScsi::Device::DIRECT_ACCESS, false);
        CLuError err;
        ZoDeviceTree::getAllDevices(ZoDevice::MPIO_DISK, &err);  // the tree's refresh, warm caches
    }
    ~Installed() { zo_internal::resetProcessState(); }
    const San& san() const { return m_host.san; }

private:
    Host& m_host;
    zotest::HostTree::Installed m_guard;
};

void setCounters(benchmark::State& state, int maps) {
    const int paths = maps * kPathsPerMap;
    state.SetComplexityN(paths);
    state.counters["maps"] = maps;
    state.counters["paths"] = paths;
    state.counters["per_path"] = benchmark::Counter(
        static_cast<double>(paths) * state.iterations(),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
        benchmark::Counter::kIs1000);
}

// The map above a path of the last map.
void BM_ParentOfPath(benchmark::State& state) {
    const int maps = static_cast<int>(state.range(0));
    Installed host(maps);
    const std::string path = host.san().paths.back().back();
    const std::string expected = host.san().maps.back().node;
    for (auto _ : state) {
        CLuError err;
        SP<ZoDevice> dev = ZoDeviceTree::getParentDevice(path.c_str(), &err);
        if (!dev || dev->getDevicePath() != expected) {
            state.SkipWithError(("wrong parent of " + path).c_str());
            break;
        }
    }
    setCounters(state, maps);
}

// Every map with its paths.
void BM_AllMaps(benchmark::State& state) {
    const int maps = static_cast<int>(state.range(0));
    Installed host(maps);
    for (auto _ : state) {
        CLuError err;
        std::list<SP<ZoDevice>> all = ZoDeviceTree::getAllDevices(ZoDevice::MPIO_DISK, &err);
        if (static_cast<int>(all.size()) != maps ||
            all.front()->getChildren().size() != static_cast<size_t>(kPathsPerMap)) {
            state.SkipWithError("wrong map list");
            break;
        }
    }
    setCounters(state, maps);
}

BENCHMARK(BM_ParentOfPath)->Arg(256)->Arg(1024)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK(BM_AllMaps)->Arg(256)->Arg(1024)->Unit(benchmark::kMillisecond)->Complexity();

}  // namespace

BENCHMARK_MAIN();
