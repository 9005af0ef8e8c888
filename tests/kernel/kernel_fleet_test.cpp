// SPDX-License-Identifier: LGPL-2.1-or-later
// The host over time on a real kernel: a path of the multipath scenario's
// map taken offline (and failed by device-mapper at the next I/O) and put
// back (reinstated by multipathd), seen by zodisk diff of captures taken
// before and during the failure, by zodisk watch running all along, and by
// zodisk metrics.
#include "kernel_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <regex>

namespace {

const std::string kWatch = "/tmp/zk-watch";

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Polls cond every 50 ms for up to limit seconds; *at is when it held.
bool waitUntil(const std::function<bool()>& cond, double limit, double* at) {
    for (double end = now() + limit; now() < end; usleep(50000))
        if (cond()) return *at = now(), true;
    return false;
}

// The state device-mapper gives the path MAJ:MIN in the map's status: "A" or "F".
std::string dmState(const std::string& map, const std::string& majmin) {
    std::vector<std::string> w = zk::words(zk::run("/usr/sbin/dmsetup status " + map));
    for (size_t i = 0; i + 1 < w.size(); ++i)
        if (w[i] == majmin) return w[i + 1];
    return "";
}

// Value of zodisk_map_paths for the map and state in a metrics text; -1 when missing.
int mapPaths(const std::string& metrics, const std::string& map, const std::string& state) {
    std::smatch m;
    std::regex re("zodisk_map_paths\\{map=\"" + map + "\",wwid=\"[^\"]*\",state=\"" + state + "\"\\} (\\d+)");
    return std::regex_search(metrics, m, re) ? std::stoi(m[1]) : -1;
}

// A read that bypasses the page cache, so that device-mapper sends it to a path.
void readDirect(const std::string& node) {
    int fd = ::open(node.c_str(), O_RDONLY | O_DIRECT);
    ASSERT_GE(fd, 0) << node;
    void* buf = nullptr;
    ASSERT_EQ(posix_memalign(&buf, 4096, 4096), 0);
    for (off_t at = 0; at < 16 * 4096; at += 4096) (void)!::pread(fd, buf, 4096, at);
    std::free(buf);
    ::close(fd);
}

std::string watchLines() { return zk::readFile(kWatch + ".out"); }

// The line watch printed about the path with the words, or "".
std::string watchLine(const std::string& path, const std::string& words) {
    for (const std::string& l : zk::lines(watchLines()))
        if (l.find("\"message\":\"" + path + words) != std::string::npos) return l;
    return "";
}

struct Victim {
    std::string map, path, majmin;
};

// The map of the scenario and a path of its active group, as zodisk shows them.
Victim victim() {
    Victim v;
    for (const std::string& l :
         zk::lines(zk::runOk("/usr/sbin/dmsetup info -c --noheadings --separator ' ' -o name,uuid")))
        if (zk::words(l).size() == 2 && zk::words(l)[1].rfind("mpath-", 0) == 0) v.map = zk::words(l)[0];
    nlohmann::json show = zk::zodiskJson("show /dev/mapper/" + v.map);
    const nlohmann::json mp = show["devices"][0].value("multipath", nlohmann::json::object());
    int active = 0;
    for (const auto& g : mp.value("groups", nlohmann::json::array()))
        if (g["state"] == "active") active = g["number"];
    for (const auto& p : mp.value("paths", nlohmann::json::array()))
        if (p["group"] == active && v.path.empty()) {
            v.path = p["name"];
            v.majmin = p["maj:min"];
        }
    EXPECT_FALSE(v.path.empty()) << show.dump(2);
    return v;
}

// Puts the path back and stops the watch, whatever the test met.
struct Restore {
    std::string path;
    ~Restore() {
        if (!path.empty()) zk::writeFile("/sys/block/" + path + "/device/state", "running\n");
        zk::run("[ -e " + kWatch + ".rc ] || kill -TERM $(cat " + kWatch + ".pid) 2>/dev/null");
    }
};

// A facts object's member, or null.
nlohmann::json fact(const nlohmann::json& change, const char* key, const char* side) {
    const nlohmann::json& facts = change.value("facts", nlohmann::json::object());
    return facts.contains(key) ? facts[key].value(side, nlohmann::json()) : nlohmann::json();
}

TEST(KernelFleet, APathTakenOfflineAndBackInDiffWatchAndMetrics) {
    zk::runOk("rm -rf /tmp/zk-warm /tmp/zk-before /tmp/zk-failed " + kWatch + ".*");
    Restore restore;
    // A disk the earlier tests held in a map and let go has its partitions
    // scanned by the kernel at its next open; the capture opens every disk,
    // so one capture first makes that happen before the moments compared.
    zk::runOk("/zo/bin/zodisk snapshot /tmp/zk-warm && /usr/bin/udevadm settle --timeout=60");
    zk::runOk("(/zo/bin/zodisk --json watch >" + kWatch + ".out 2>" + kWatch + ".err & echo $! >" + kWatch +
              ".pid; wait $!; echo $? >" + kWatch + ".rc) >/dev/null 2>&1 &");
    double at = 0;
    ASSERT_TRUE(waitUntil([] { return zk::readFile(kWatch + ".err").find("zodisk: watching") == 0; }, 30, &at))
        << zk::readFile(kWatch + ".err");
    const Victim v = victim();
    ASSERT_FALSE(v.path.empty());
    zk::runOk("/zo/bin/zodisk snapshot /tmp/zk-before");
    int status = 0;
    std::string quiet = zk::run("/zo/bin/zodisk diff /tmp/zk-before --live", &status);
    ASSERT_EQ(status, 0) << "the host changed on its own after the capture:\n" << quiet;
    const std::string before = zk::runOk("/zo/bin/zodisk metrics");

    // Offline: the next I/O through the map fails on the path.
    restore.path = v.path;
    ASSERT_TRUE(zk::writeFile("/sys/block/" + v.path + "/device/state", "offline\n"));
    readDirect("/dev/mapper/" + v.map);
    double failedAt = 0, seenAt = 0;
    ASSERT_TRUE(waitUntil([&] { return dmState(v.map, v.majmin) == "F"; }, 60, &failedAt));
    EXPECT_TRUE(waitUntil([&] { return !watchLine(v.path, " failed in " + v.map).empty(); }, 10, &seenAt))
        << watchLines();
    zk::measure("watch: " + v.path + " failed", "printed " + std::to_string(seenAt - failedAt) +
                                                   " s after device-mapper's status said so");
    EXPECT_LT(seenAt - failedAt, 5);
    zk::runOk("/zo/bin/zodisk snapshot /tmp/zk-failed");
    const std::string failed = zk::runOk("/zo/bin/zodisk metrics");

    std::string text = zk::run("/zo/bin/zodisk diff /tmp/zk-before /tmp/zk-failed", &status);
    std::printf("zodisk diff of the captures before and during the failure (exit %d):\n%s", status, text.c_str());
    EXPECT_EQ(status, 1);
    nlohmann::json diff = zk::zodiskJson("diff /tmp/zk-before /tmp/zk-failed", &status);
    int aboutPaths = 0;
    for (const nlohmann::json& c : diff["changes"]) {
        EXPECT_EQ(c["group"], v.map) << c.dump();
        if (c["device"].is_null()) continue;
        ++aboutPaths;
        EXPECT_EQ(c["device"], v.path) << c.dump();
        EXPECT_EQ(fact(c, "dm_state", "after"), "failed") << c.dump();
        EXPECT_EQ(fact(c, "state", "after"), "offline") << c.dump();
    }
    EXPECT_EQ(aboutPaths, 1) << diff.dump(2);
    EXPECT_TRUE(zk::same("paths of " + v.map + " by metrics, before and during",
                         "dmsetup status", "2 active 0 failed, 1 active 1 failed",
                         std::to_string(mapPaths(before, v.map, "active")) + " active " +
                             std::to_string(mapPaths(before, v.map, "failed")) + " failed, " +
                             std::to_string(mapPaths(failed, v.map, "active")) + " active " +
                             std::to_string(mapPaths(failed, v.map, "failed")) + " failed"));

    // Back: multipathd's checker reinstates the path.
    ASSERT_TRUE(zk::writeFile("/sys/block/" + v.path + "/device/state", "running\n"));
    double backAt = 0;
    ASSERT_TRUE(waitUntil([&] { return dmState(v.map, v.majmin) == "A"; }, 60, &backAt));
    EXPECT_TRUE(waitUntil([&] { return !watchLine(v.path, " reinstated in " + v.map).empty(); }, 10, &seenAt))
        << watchLines();
    zk::measure("watch: " + v.path + " reinstated", "printed " + std::to_string(seenAt - backAt) +
                                                       " s after device-mapper's status said so");
    EXPECT_LT(seenAt - backAt, 5);
    const std::string back = zk::runOk("/zo/bin/zodisk metrics");
    EXPECT_EQ(mapPaths(back, v.map, "active"), 2) << back;

    // Idle: no event, no reading, no CPU.
    std::string stat1 = zk::readFile("/proc/" + zk::readFile(kWatch + ".pid") + "/stat");
    sleep(10);
    std::string stat2 = zk::readFile("/proc/" + zk::readFile(kWatch + ".pid") + "/stat");
    auto ticks = [](const std::string& stat) {
        std::vector<std::string> w = zk::words(stat.substr(stat.rfind(')') + 2));
        return w.size() > 12 ? std::stol(w[11]) + std::stol(w[12]) : -1;
    };
    zk::measure("watch idle", std::to_string(ticks(stat2) - ticks(stat1)) + " clock ticks of CPU in 10 s");
    std::printf("zodisk watch --json printed:\n%s\n", watchLines().c_str());
    zk::runOk("kill -TERM $(cat " + kWatch + ".pid)");
    restore.path.clear();
    EXPECT_TRUE(zk::waitFor([] { return zk::exists(kWatch + ".rc"); }));
    EXPECT_EQ(zk::readFile(kWatch + ".rc"), "0");
}

}  // namespace
