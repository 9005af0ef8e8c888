// SPDX-License-Identifier: LGPL-2.1-or-later
// multipath-tools' own reading of a configuration: "multipath -t" run with
// given files in place of /etc/multipath.conf and /etc/multipath/conf.d, in
// a private mount namespace over a copy-on-write /etc (as root, or in a user
// namespace). The machine's own /etc is not touched.
#pragma once

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace zotest {

// The entries multipath-tools' merged configuration holds.
struct MultipathView {
    int status = -1;                            // of multipath -t
    std::set<std::string> exceptions;           // wwid values of blacklist_exceptions
    std::map<std::string, std::string> blocks;  // multipaths: wwid -> alias ("" for none)
    std::set<std::string> warnings;             // its complaints, without times and line numbers
};

// Returns true iff multipath -t can be run that way on this machine.
bool multipathReaderAvailable();

// Reads conf (nullptr: no /etc/multipath.conf) with confd, (name, text)
// pairs, as the only files of /etc/multipath/conf.d.
MultipathView readWithMultipath(const std::string* conf,
                                const std::vector<std::pair<std::string, std::string>>& confd = {});

}  // namespace zotest
