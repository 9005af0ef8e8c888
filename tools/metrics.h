// SPDX-License-Identifier: LGPL-2.1-or-later
// The Prometheus text exposition format (version 0.0.4), as node_exporter's
// textfile collector reads it: a family's HELP and TYPE lines, then its
// samples, one a line, without timestamps.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zodisk {

struct MetricFamily {
    using Labels = std::vector<std::pair<std::string, std::string>>;

    MetricFamily(std::string n, std::string t, std::string h)
        : name(std::move(n)), type(std::move(t)), help(std::move(h)) {}

    std::string name;   // "zodisk_map_paths"
    std::string type;   // "gauge" or "counter"
    std::string help;
    std::vector<std::pair<Labels, double>> samples;

    // A sample with labels and, when extra has a name, one label more.
    void add(Labels labels, std::pair<std::string, std::string> extra, double value) {
        if (!extra.first.empty())
            labels.push_back(std::move(extra));
        samples.emplace_back(std::move(labels), value);
    }
};

// The text of the families that have samples, in their order. Label values
// are escaped (backslash, double quote, line feed), and so is HELP text
// (backslash, line feed).
std::string exposition(const std::vector<MetricFamily>& families);

}  // namespace zodisk
