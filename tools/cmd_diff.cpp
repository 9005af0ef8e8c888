// SPDX-License-Identifier: LGPL-2.1-or-later
// diff BEFORE AFTER: what changed between two moments of a host, each a
// capture (zodisk snapshot) or this host now ("-", or --live for AFTER).
// Devices are matched by identity (host_view.h), never by kernel name.
// Exit 0 when nothing differs, 1 when something does, 2 on trouble.
#include "changes.h"
#include "columns.h"
#include "host_view.h"
#include "output.h"
#include "zodisk.h"

#include <CLI/CLI.hpp>

namespace zodisk {

namespace {

const int kTrouble = 2;

bool isNow(const std::string& moment) { return moment == "-"; }

std::string label(const std::string& moment) { return isNow(moment) ? "now" : moment; }

}  // namespace

void diffArgs(CLI::App& app, Options& opts) {
    app.add_option("BEFORE", opts.before, "a capture (a directory made by 'zodisk snapshot'),\nor - for this host now")
        ->required()
        ->type_name("");
    app.add_option("AFTER", opts.after, "a capture, or - for this host now")->type_name("");
    app.add_flag("--live", opts.live, "compare BEFORE with this host now (AFTER -)");
}

int runDiff(const Options& opts, Output& out) {
    if (opts.live == !opts.after.empty()) {
        Output::error("diff: give AFTER or --live (one of them); see 'zodisk diff --help'");
        return EXIT_USAGE;
    }
    const std::string moments[2] = {opts.before, opts.live ? "-" : opts.after};
    HostView views[2];
    for (int i = 0; i < 2; ++i) {
        std::string why;
        std::vector<std::string> warnings;
        const bool read = readView(isNow(moments[i]) ? "" : moments[i], &views[i], &why, &warnings);
        for (const std::string& w : warnings)
            Output::error("diff: warning: " + w);
        if (!read) {
            if (why.rfind("--sysroot ", 0) == 0)   // the tree check names the option
                why.erase(0, 10);
            Output::error("diff: " + why);
            return kTrouble;
        }
    }
    std::vector<Change> changes = compareViews(views[0], views[1]);
    if (opts.json) {
        Json list = Json::array();
        for (const Change& c : changes)
            list.push_back(changeJson(c));
        out.json({{"before", label(moments[0])}, {"after", label(moments[1])}, {"changes", list}});
    } else {
        std::string text;
        const bool utf8 = localeIsUtf8();
        for (const Change& c : changes)
            text += escape(c.message, Escape::Table, utf8) + "\n";
        out.text(text);
    }
    return changes.empty() ? EXIT_OK : EXIT_FAILED;
}

}  // namespace zodisk
