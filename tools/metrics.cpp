// SPDX-License-Identifier: LGPL-2.1-or-later
#include "metrics.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace zodisk {

namespace {

std::string escaped(const std::string& s, bool quote) {
    std::string out;
    for (char c : s) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '"' && quote)
            out += "\\\"";
        else
            out += c;
    }
    return out;
}

std::string number(double v) {
    if (std::isnan(v))
        return "NaN";
    if (std::isinf(v))
        return v > 0 ? "+Inf" : "-Inf";
    // The shortest of the usual forms that reads back as the same value.
    char buf[32];
    for (int digits = 15; digits <= 17; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, v);
        if (std::strtod(buf, nullptr) == v)
            break;
    }
    return buf;
}

}  // namespace

std::string exposition(const std::vector<MetricFamily>& families) {
    std::string out;
    for (const MetricFamily& f : families) {
        if (f.samples.empty())
            continue;
        out += "# HELP " + f.name + " " + escaped(f.help, false) + "\n";
        out += "# TYPE " + f.name + " " + f.type + "\n";
        for (const auto& [labels, value] : f.samples) {
            out += f.name;
            for (size_t i = 0; i < labels.size(); ++i)
                out += (i ? "," : "{") + labels[i].first + "=\"" + escaped(labels[i].second, true) + "\"";
            out += (labels.empty() ? " " : "} ") + number(value) + "\n";
        }
    }
    return out;
}

}  // namespace zodisk
