// SPDX-License-Identifier: LGPL-2.1-or-later
// metrics: the host's multipathing in the Prometheus text exposition
// format, for node_exporter's textfile collector: per map its paths by
// state and its size, per path (of a map or an NVMe namespace) and per
// fabric endpoint each fact of the view that is a state (host_view.h),
// check's findings by kind and severity, and when the host was read. --textfile FILE replaces FILE atomically (a temporary file in
// its directory, written, synced, renamed over it), so the collector never
// reads half a file.
#include "check.h"
#include "columns.h"
#include "host_view.h"
#include "metrics.h"
#include "output.h"
#include "zodisk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>

namespace zodisk {

namespace {

using Labels = MetricFamily::Labels;

Labels mapLabels(const ViewUnit& u) { return {{"map", u.name}, {"wwid", u.wwid}}; }

void mapFamilies(const HostView& view, std::vector<MetricFamily>* out) {
    MetricFamily paths{"zodisk_map_paths", "gauge",
                       "Paths of a multipath map by device-mapper state."};
    MetricFamily size{"zodisk_map_size_bytes", "gauge", "Size of a multipath map."};
    for (const auto& [key, u] : view.units) {
        if (!u.map)
            continue;
        for (const char* state : viewFact("dm_state").states) {
            size_t n = 0;
            for (const ViewPath& p : u.paths) {
                auto it = p.facts.find("dm_state");
                n += it != p.facts.end() && it->second == state;
            }
            paths.add(mapLabels(u), {"state", state}, static_cast<double>(n));
        }
        size.add(mapLabels(u), {}, std::strtod(u.facts.at("size").c_str(), nullptr) * 512);
    }
    out->push_back(std::move(paths));
    out->push_back(std::move(size));
}

// A family of fact f of what (its holders, "a path of a multipath map").
MetricFamily stateFamily(const std::string& name, const ViewFact& f, const std::string& what) {
    return {name, "gauge",
            std::string("The ") + f.words + " of " + what + ": 1 for its value" +
                (f.states.empty() ? " (no other value is given)." : ", 0 for the other values listed.")};
}

// The state set of a holder whose fact f is value: the values f lists,
// 1 for value, 0 for the others, and value when f does not list it.
void addStates(MetricFamily* family, const ViewFact& f, const Labels& labels, const std::string& value) {
    bool listed = false;
    for (const char* state : f.states) {
        listed = listed || value == state;
        family->add(labels, {"state", state}, value == state ? 1 : 0);
    }
    if (!listed)
        family->add(labels, {"state", value}, 1);
}

// zodisk_path_<fact>{map, wwid, path, hctl, state} for the paths of maps,
// zodisk_nvme_path_<fact>{namespace, wwid, path, controller, state} for
// the paths of NVMe namespaces, for each fact that is a metric.
void pathFamilies(const HostView& view, std::vector<MetricFamily>* out) {
    for (const ViewFact& f : viewFacts()) {
        if (!f.metric || !(f.holders & (ON_PATH | ON_NVME_PATH)))
            continue;
        const bool nvme = !(f.holders & ON_PATH);
        MetricFamily family = stateFamily(std::string(nvme ? "zodisk_nvme_path_" : "zodisk_path_") + f.key, f,
                                          nvme ? "a path of an NVMe namespace" : "a path of a multipath map");
        for (const auto& [key, u] : view.units)
            for (const ViewPath& p : u.paths) {
                auto known = p.facts.find(f.key);
                if (known == p.facts.end() || u.map == nvme)
                    continue;
                Labels labels = nvme ? Labels{{"namespace", u.name}, {"wwid", u.wwid}, {"path", p.name},
                                              {"controller", p.controller}}
                                     : Labels{{"map", u.name}, {"wwid", u.wwid}, {"path", p.name}, {"hctl", p.key}};
                addStates(&family, f, labels, known->second);
            }
        out->push_back(std::move(family));
    }
}

// <prefix>_<fact>{identity labels, state} of the Fibre Channel ports and
// iSCSI sessions: zodisk_fc_host_port_state, zodisk_fc_remote_port_state,
// zodisk_iscsi_session_state, zodisk_iscsi_connection_state.
void endpointFamilies(const HostView& view, std::vector<MetricFamily>* out) {
    std::map<std::string, MetricFamily> families;
    for (const auto& [key, e] : view.endpoints)
        for (const auto& [fact, value] : e.facts) {
            const ViewFact& f = viewFact(fact.c_str());
            if (!f.metric)
                continue;
            const std::string name = e.metric + "_" + fact;
            auto it = families.find(name);
            if (it == families.end())
                it = families.emplace(name, stateFamily(name, f, (e.noun[0] == 'i' ? "an " : "a ") + e.noun)).first;
            addStates(&it->second, f, e.labels, value);
        }
    for (auto& entry : families)
        out->push_back(std::move(entry.second));
}

void checkFamilies(const ZoHostInventory& inv, std::vector<MetricFamily>* out) {
    std::map<std::pair<std::string, std::string>, int> counts;
    bool healthy = true;
    for (const Finding& f : checkFindings(inv)) {
        ++counts[{f.check, f.severity}];
        healthy = healthy && std::strcmp(f.severity, "info") == 0;
    }
    MetricFamily findings{"zodisk_check_findings", "gauge",
                          "Findings of zodisk check by kind and severity."};
    for (const auto& [kind, n] : counts)
        findings.add({{"check", kind.first}, {"severity", kind.second}}, {}, n);
    MetricFamily ok{"zodisk_check_healthy", "gauge",
                    "1 when zodisk check finds nothing that needs attention, else 0."};
    ok.add({}, {}, healthy ? 1 : 0);
    out->push_back(std::move(findings));
    out->push_back(std::move(ok));
}

// Replaces path with text: a temporary file beside it, synced, renamed
// over it. On failure leaves path as it was and returns false with *why.
bool writeAtomically(const std::string& path, const std::string& text, std::string* why) {
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string tmp = dir + (dir == "." ? "/." : ".") + base + ".XXXXXX";
    int fd = ::mkostemp(&tmp[0], O_CLOEXEC);
    if (fd < 0)
        return *why = "cannot create a file in " + dir + ": " + std::strerror(errno), false;
    size_t done = 0;
    int err = ::fchmod(fd, 0644) == 0 ? 0 : errno;
    while (err == 0 && done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        err = n < 0 ? errno : 0;
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    if (err == 0 && ::fsync(fd) != 0)
        err = errno;
    if (::close(fd) != 0 && err == 0)
        err = errno;
    if (err == 0 && ::rename(tmp.c_str(), path.c_str()) != 0)
        err = errno;
    if (err != 0) {
        ::unlink(tmp.c_str());
        *why = "cannot write " + path + ": " + std::strerror(err);
        return false;
    }
    return true;
}

}  // namespace

void metricsArgs(CLI::App& app, Options& opts) {
    app.add_option("--textfile", opts.textfile,
                   "replace FILE atomically with the metrics instead of printing\n"
                   "them (node_exporter's textfile directory, e.g.\n"
                   "/var/lib/prometheus/node-exporter/zodisk.prom)")
        ->type_name("FILE");
}

int runMetrics(const Options& opts, Output& out) {
    const auto started = std::chrono::steady_clock::now();
    const double now = std::chrono::duration<double>(
                           std::chrono::system_clock::now().time_since_epoch()).count();
    ZoHostInventory inv;
    if (!readInventory(&inv, ZoInventoryOptions::ALL_FACTS))
        return EXIT_FAILED;
    std::vector<MetricFamily> families;
    HostView view = viewOf(inv);
    mapFamilies(view, &families);
    pathFamilies(view, &families);
    endpointFamilies(view, &families);
    checkFamilies(inv, &families);
    MetricFamily at{"zodisk_reading_timestamp_seconds", "gauge",
                    "When zodisk read the host, in seconds since the epoch."};
    at.add({}, {}, now);
    MetricFamily took{"zodisk_reading_duration_seconds", "gauge",
                      "How long zodisk took to read the host and check it."};
    took.add({}, {}, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    families.push_back(std::move(at));
    families.push_back(std::move(took));

    std::string text = exposition(families);
    if (opts.textfile.empty()) {
        out.text(text);
        return EXIT_OK;
    }
    std::string why;
    if (!writeAtomically(opts.textfile, text, &why)) {
        Output::error("metrics: " + why);
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

}  // namespace zodisk
