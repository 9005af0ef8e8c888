// SPDX-License-Identifier: LGPL-2.1-or-later
// The state behind `zodisk watch`: the host's view (host_view.h), kept up
// to date one kernel event at a time. An event makes the watcher re-read
// only the devices it touched and those they stack with (a path's map, the
// map's other paths and partitions), through a host that shows the
// inventory nothing else; the changes are told in diff's words.
//
// Where the events come from (udev's monitor) is cmd_watch.cpp's business;
// a Watcher works on whatever host is current, host trees included.
// Not thread-safe.
#pragma once

#include "changes.h"
#include "host_view.h"

#include <cstddef>
#include <set>
#include <string>
#include <utility>

namespace zodisk {

// One kernel event of the block subsystem, as far as the watch needs it.
struct DeviceEvent {
    std::string action;     // "add", "remove", "change", "move", ...
    std::string name;       // kernel name: "sdc", "dm-0"
    unsigned major = 0;     // 0:0 when the event carries no number
    unsigned minor = 0;
    std::string dmAction;   // device-mapper's DM_ACTION: "PATH_FAILED", ...
    std::string dmPath;     // device-mapper's DM_PATH: "8:32"
};

class Watcher {
public:
    using Number = std::pair<unsigned, unsigned>;

    // Reads the whole current host. On failure returns false and sets *why.
    bool start(std::string* why);
    // Re-reads what the event touched and returns what changed since those
    // devices were read last. Events of devices the view leaves out (loop,
    // ram) cost nothing.
    std::vector<Change> handle(const DeviceEvent& event);

    const HostView& view() const { return m_view; }
    // Block devices the last reading read (the whole host for start()).
    size_t lastRead() const { return m_lastRead; }

private:
    std::set<Number> scopeOf(const DeviceEvent& event) const;

    HostView m_view;
    size_t m_lastRead = 0;
};

}  // namespace zodisk
