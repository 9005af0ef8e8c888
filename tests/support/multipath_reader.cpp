// SPDX-License-Identifier: LGPL-2.1-or-later
#include "multipath_reader.h"

#include "host_tree.h"

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

namespace zotest {

namespace {

// The unshare(1) options that give a private mount namespace here ("" when
// none does): a plain one as root, else one inside a user namespace.
const std::string& unshareOptions() {
    static const std::string options = [] {
        if (std::system("command -v multipath >/dev/null 2>&1") != 0) return std::string();
        for (const char* o : {"-m", "-Urm"}) {
            const std::string probe = std::string("unshare ") + o + " sh -c 'mount -t tmpfs t /mnt' >/dev/null 2>&1";
            if (std::system(probe.c_str()) == 0) return std::string(o);
        }
        return std::string();
    }();
    return options;
}

// The value of a printed `key "value"` line ("" when it has no quotes); a
// quote inside it is printed doubled.
std::string quoted(const std::string& line) {
    const size_t a = line.find('"'), b = line.rfind('"');
    std::string value = a == std::string::npos || b <= a ? "" : line.substr(a + 1, b - a - 1);
    for (size_t at = value.find("\"\""); at != std::string::npos; at = value.find("\"\"", at + 1)) value.erase(at, 1);
    return value;
}

void parse(const std::string& out, MultipathView* view) {
    std::istringstream in(out);
    std::string section, wwid, alias;
    bool inBlock = false;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] != '\t' && line.back() == '{') section = line.substr(0, line.find(' '));
        if (section == "blacklist_exceptions" && line.rfind("\twwid ", 0) == 0) view->exceptions.insert(quoted(line));
        if (section != "multipaths") continue;
        if (line == "\tmultipath {") inBlock = true, wwid.clear(), alias.clear();
        if (inBlock && line.rfind("\t\twwid ", 0) == 0) wwid = quoted(line);
        if (inBlock && line.rfind("\t\talias ", 0) == 0) alias = quoted(line);
        if (inBlock && line == "\t}") view->blocks[wwid] = alias, inBlock = false;
    }
}

}  // namespace

bool multipathReaderAvailable() { return !unshareOptions().empty(); }

MultipathView readWithMultipath(const std::string* conf,
                                const std::vector<std::pair<std::string, std::string>>& confd) {
    MultipathView view;
    if (!multipathReaderAvailable()) return view;
    HostTree work;
    const std::string w = work.root();
    work.mkdir("/confd");
    if (conf) work.write("/multipath.conf", *conf);
    for (const auto& [name, text] : confd) work.write("/confd/" + name, text);
    const std::string script =
        "cd " + w + " && mkdir up wd && mount -t overlay o -o lowerdir=/etc,upperdir=" + w +
        "/up,workdir=" + w + "/wd /etc && rm -rf /etc/multipath.conf /etc/multipath/conf.d && "
        "mkdir -p /etc/multipath/conf.d && cp -a confd/. /etc/multipath/conf.d/ && "
        "{ [ ! -e multipath.conf ] || cp multipath.conf /etc/; } && multipath -t >out 2>err; echo $? >rc";
    const std::string command = "unshare " + unshareOptions() + " sh -c '" + script + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0 || !work.exists("/rc")) return view;
    view.status = std::atoi(work.read("/rc").c_str());
    parse(work.read("/out"), &view);
    std::istringstream err(work.read("/err"));
    const std::regex stamp("^[0-9.]+ \\| "), number("(line |\\+)[0-9]+");
    for (std::string line; std::getline(err, line);)
        view.warnings.insert(std::regex_replace(std::regex_replace(line, stamp, ""), number, "$1N"));
    return view;
}

}  // namespace zotest
