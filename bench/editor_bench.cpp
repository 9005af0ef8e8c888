// SPDX-License-Identifier: LGPL-2.1-or-later
// Adding 64 disks to a 10,000-line multipath configuration, and taking them
// out again, on a host tree: the whole locked rewrite (read, edit, 0600
// temporary file written line by line, fsync, rename, directory sync) and,
// separately, the text edit alone.
#include "ZoDeviceTreeEditor.h"
#include "ZoMultipathConf.h"
#include "support/host_tree.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

// About 10,000 lines: defaults, a blacklist, and 2,000 existing multipath
// blocks with their exceptions.
std::string largeConfiguration() {
    std::string text = "defaults {\n\tuser_friendly_names yes\n\tfind_multipaths yes\n}\n";
    text += "blacklist {\n\tdevnode \"^(ram|zram|loop|fd|md|sr|scd|st)[0-9]*\"\n}\n";
    const int existing = 2000;
    text += "blacklist_exceptions {\n";
    for (int i = 0; i < existing; ++i) text += "\twwid \"3600e" + std::to_string(100000 + i) + "\"\n";
    text += "}\nmultipaths {\n";
    for (int i = 0; i < existing; ++i) {
        const std::string w = "3600e" + std::to_string(100000 + i);
        text += "\tmultipath {\n\t\twwid \"" + w + "\"\n\t\talias \"disk" + std::to_string(i) +
                "\"\n\t}\n";
    }
    text += "}\n";
    return text;
}

std::vector<std::string> newWwids() {
    std::vector<std::string> w;
    for (int i = 0; i < 64; ++i) w.push_back("3600f" + std::to_string(200000 + i));
    return w;
}

void BM_PlanAdd64(benchmark::State& state) {
    const std::string text = largeConfiguration();
    const auto wwids = newWwids();
    for (auto _ : state) {
        auto plan = zo_mpconf::planAdd(text, wwids, "2024/01/01 00:00:00 ");
        benchmark::DoNotOptimize(plan.lines.data());
    }
    state.counters["lines"] = zo_mpconf::splitLines(text).size();
}
BENCHMARK(BM_PlanAdd64)->Unit(benchmark::kMillisecond);

// One iteration adds the 64 disks and removes them again, so every
// iteration starts from the same file.
void BM_AddAndRemove64(benchmark::State& state) {
    zotest::HostTree tree;
    const std::string text = largeConfiguration();
    tree.write("/etc/multipath.conf", text);
    auto installed = tree.install();
    const auto wwids = newWwids();
    for (auto _ : state) {
        CLuError err;
        if (!zo_editor::addWwids(wwids, "bench", &err) ||
            zo_editor::delWwids(wwids, "bench", &err) != 0) {
            state.SkipWithError(err.AsString().c_str());
            break;
        }
    }
    state.counters["lines"] = zo_mpconf::splitLines(text).size();
    state.counters["bytes"] = text.size();
}
BENCHMARK(BM_AddAndRemove64)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
