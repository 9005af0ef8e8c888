// SPDX-License-Identifier: LGPL-2.1-or-later
// What differs between two views of a host (host_view.h), one change a
// line, in the words diff and watch print: "sdc failed in mpatha: 3 of 4
// paths active".
#pragma once

#include "host_view.h"
#include "output.h"

#include <string>
#include <vector>

namespace zodisk {

struct FactChange {
    std::string key;   // the fact's key (viewFacts())
    std::string before, after;
};

struct Change {
    // The map (its device-mapper name) or disk (its kernel name) the change
    // belongs to; "" for a fabric endpoint and for a configuration entry of
    // a WWID no map has.
    std::string group;
    // What kind of change: appeared, vanished, renamed, moved, path-lost,
    // path-gained, path-state, state, size, product, fabric, partitions,
    // config-added, config-removed.
    std::string kind;
    std::string message;
    std::string wwid;     // of the map or disk; "" when it has none
    std::string device;   // kernel name of the device or endpoint the change is about
    // H:C:T:L of the path or disk, when it has one; the transport endpoint
    // of an NVMe path; the identity of a fabric endpoint (ViewEndpoint).
    std::string place;
    std::vector<FactChange> facts;
};

// Every change from before to after, grouped by map (groups in name order,
// then the fabric endpoints, then configuration entries of no map), in a
// fixed order within a group.
std::vector<Change> compareViews(const HostView& before, const HostView& after);

// A change as a JSON object: group, change, wwid, device, place, message,
// facts ({key: {before, after}}).
Json changeJson(const Change& c);

}  // namespace zodisk
