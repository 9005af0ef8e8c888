// SPDX-License-Identifier: LGPL-2.1-or-later
// The host tree's own tables: format then parse gives the table back. For
// the command table and the device-mapper state, on tables made from the
// input and on whatever a parse of the input yields.
#include "ZoHost.h"
#include "ZoHostInternal.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

namespace {

using Table = std::map<std::string, zohost::CommandAnswer>;

void checkCommands(const Table& table) {
    std::string text;
    Table written;
    for (const auto& entry : table) {
        std::string block;
        if (!zohost::formatCommandAnswer(entry.first, entry.second, &block)) {
            if (entry.first.find('\n') == std::string::npos) std::abort();  // only a line break is refused
            continue;
        }
        text += block;
        written.insert(entry);
    }
    const Table back = zohost::parseCommandTable(text);
    if (back.size() != written.size()) std::abort();
    for (const auto& entry : written) {
        auto it = back.find(entry.first);
        if (it == back.end() || it->second.exitStatus != entry.second.exitStatus ||
            it->second.out != entry.second.out || it->second.err != entry.second.err)
            std::abort();
    }
}

bool sameTargets(const std::vector<ZoDmTarget>& a, const std::vector<ZoDmTarget>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].start != b[i].start || a[i].length != b[i].length || a[i].type != b[i].type ||
            a[i].params != b[i].params)
            return false;
    return true;
}

void checkDmState(const ZoDmState& state) {
    std::string text;
    if (!ZoRootedHost::formatDeviceMapperState(state, &text)) return;
    ZoDmState back;
    if (zohost::parseDmState(text, &back) != 0 || !sameTargets(back.table, state.table) ||
        !sameTargets(back.status, state.status) || back.openCount != std::max(state.openCount, -1))
        std::abort();
}

ZoDmTarget target(FuzzedDataProvider& in) {
    ZoDmTarget t;
    t.start = in.ConsumeIntegral<uint64_t>();
    t.length = in.ConsumeIntegral<uint64_t>();
    t.type = in.ConsumeRandomLengthString(16);
    t.params = in.ConsumeRandomLengthString(128);
    return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkCommands(zohost::parseCommandTable(text));
    ZoDmState parsed;
    if (zohost::parseDmState(text, &parsed) == 0) checkDmState(parsed);

    FuzzedDataProvider in(data, size);
    Table made;
    ZoDmState state;
    while (in.remaining_bytes() > 0) {
        zohost::CommandAnswer answer;
        const std::string command = in.ConsumeRandomLengthString(64);
        answer.exitStatus = in.ConsumeIntegral<int>();
        answer.out = in.ConsumeRandomLengthString(256);
        answer.err = in.ConsumeRandomLengthString(64);
        made[command] = answer;
        (in.ConsumeBool() ? state.table : state.status).push_back(target(in));
    }
    state.openCount = static_cast<int>(size) - 64;
    checkCommands(made);
    checkDmState(state);
    return 0;
}
