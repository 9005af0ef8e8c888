// SPDX-License-Identifier: LGPL-2.1-or-later
#include "watcher.h"

#include "ZoForwardingHost.h"

#include <cstdio>
#include <deque>
#include <memory>

namespace zodisk {

namespace {

using Number = Watcher::Number;

// Devices the view never holds: their events are not worth a reading.
bool ignored(const std::string& name) {
    for (const char* prefix : {"loop", "ram", "zram", "sr", "nbd"})
        if (name.compare(0, std::string(prefix).size(), prefix) == 0)
            return true;
    return false;
}

bool parseNumber(const std::string& text, Number* n) {
    char extra = 0;
    return std::sscanf(text.c_str(), "%u:%u%c", &n->first, &n->second, &extra) == 2;
}

std::string numberText(const Number& n) {
    return std::to_string(n.first) + ":" + std::to_string(n.second);
}

std::string baseName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// The block devices sysfs shows next to a device: what holds it, what it
// holds, and the disk of a partition (a partition's directory is inside its
// disk's). A device that is gone has none.
std::vector<std::string> relatives(ZoHost& host, const std::string& name) {
    const std::string dir = "/sys/class/block/" + name;
    std::vector<std::string> out, names;
    for (const char* rel : {"/holders", "/slaves"})
        if (host.listDir(dir + rel, &names) == 0)
            out.insert(out.end(), names.begin(), names.end());
    std::string target;
    if (host.exists(dir + "/partition") && host.readlink(dir, &target) == 0) {
        target.erase(target.find_last_of('/'));
        out.push_back(baseName(target));
    }
    return out;
}

// Shows the inventory only the block devices of a scope (by number) and
// their partitions: /sys/dev/block lists nothing else.
class ScopedHost final : public ZoForwardingHost {
public:
    ScopedHost(std::shared_ptr<ZoHost> inner, std::set<Number> scope)
        : ZoForwardingHost(std::move(inner)), m_scope(std::move(scope)) {}

    int listLinks(const std::string& dir,
                  std::vector<std::pair<std::string, std::string>>* links) override {
        if (int rc = ZoForwardingHost::listLinks(dir, links))
            return rc;
        if (dir != "/sys/dev/block")
            return 0;
        std::set<std::string> kept;   // link targets of the devices in scope
        for (const auto& link : *links) {
            Number n;
            if (parseNumber(link.first, &n) && m_scope.count(n))
                kept.insert(link.second + "/");
        }
        std::vector<std::pair<std::string, std::string>> out;
        for (auto& link : *links) {
            std::string parent = link.second.substr(0, link.second.find_last_of('/') + 1);
            if (kept.count(link.second + "/") || kept.count(parent))
                out.push_back(std::move(link));
        }
        links->swap(out);
        return 0;
    }

private:
    std::set<Number> m_scope;
};

// Installs a host for the life of the object.
class Installed {
public:
    explicit Installed(std::shared_ptr<ZoHost> host) : m_previous(ZoHost::install(std::move(host))) {}
    ~Installed() { ZoHost::install(m_previous); }
    Installed(const Installed&) = delete;
    Installed& operator=(const Installed&) = delete;

private:
    std::shared_ptr<ZoHost> m_previous;
};

// What the watch reads: no fabric endpoint (their states come with no
// event of a block device) and no question to multipathd (it would list
// every path of the host at each event).
ZoInventoryOptions watchedFacts() {
    ZoInventoryOptions o;
    o.facts &= ~(ZoInventoryOptions::FC_PORTS | ZoInventoryOptions::ISCSI_SESSIONS |
                 ZoInventoryOptions::PATH_HEALTH);
    return o;
}

bool readInventoryOf(std::shared_ptr<ZoHost> host, ZoHostInventory* inv, std::string* why) {
    Installed in(std::move(host));
    ZoResult<ZoHostInventory> read = ZoHostInventory::read(watchedFacts());
    if (!read) {
        *why = "cannot read the block devices: " + read.error().AsString();
        return false;
    }
    *inv = std::move(*read);
    return true;
}

bool holdsAny(const ViewUnit& u, const std::set<Number>& numbers) {
    for (const Number& n : u.numbers)
        if (numbers.count(n))
            return true;
    return false;
}

}  // namespace

bool Watcher::start(std::string* why) {
    ZoHostInventory inv;
    if (!readInventoryOf(ZoHost::current(), &inv, why))
        return false;
    m_lastRead = inv.devices().size();
    m_view = viewOf(inv);
    std::string confWhy;
    m_view.config = readConfigEntries(&confWhy);
    return true;
}

std::set<Number> Watcher::scopeOf(const DeviceEvent& event) const {
    std::shared_ptr<ZoHost> host = ZoHost::current();
    std::set<Number> scope;
    Number n;
    if (event.major || event.minor)
        scope.insert({event.major, event.minor});
    if (parseNumber(event.dmPath, &n))
        scope.insert(n);
    // What the view had of those devices (a device that is gone is known
    // only there).
    std::set<Number> seeds = scope;
    for (const auto& [key, unit] : m_view.units)
        if (holdsAny(unit, seeds))
            scope.insert(unit.numbers.begin(), unit.numbers.end());
    // Everything the devices stack with now, by sysfs.
    std::deque<std::string> todo = {event.name};
    std::set<std::string> seen;
    for (const Number& s : scope) {
        std::string target;
        if (host->readlink("/sys/dev/block/" + numberText(s), &target) == 0)
            todo.push_back(baseName(target));
    }
    while (!todo.empty()) {
        std::string name = todo.front();
        todo.pop_front();
        std::string dev;
        if (name.empty() || !seen.insert(name).second ||
            host->readAttr("/sys/class/block/" + name + "/dev", &dev) != 0 || !parseNumber(dev, &n))
            continue;
        scope.insert(n);
        for (std::string& r : relatives(*host, name))
            todo.push_back(std::move(r));
    }
    return scope;
}

std::vector<Change> Watcher::handle(const DeviceEvent& event) {
    if (ignored(event.name))
        return {};
    const std::set<Number> scope = scopeOf(event);
    ZoHostInventory inv;
    std::string why;
    if (!readInventoryOf(std::make_shared<ScopedHost>(ZoHost::current(), scope), &inv, &why))
        return {};
    m_lastRead = inv.devices().size();
    HostView now = viewOf(inv), was;
    for (const auto& [key, unit] : m_view.units)
        if (now.units.count(key) || holdsAny(unit, scope))
            was.units.insert({key, unit});
    for (const auto& [identity, owner] : m_view.pathOwners)
        if (was.units.count(owner))
            was.pathOwners.insert({identity, owner});
    was.config = now.config = m_view.config;
    std::vector<Change> changes = compareViews(was, now);

    for (const auto& entry : was.units)
        m_view.units.erase(entry.first);
    for (auto it = m_view.pathOwners.begin(); it != m_view.pathOwners.end();)
        it = was.units.count(it->second) ? m_view.pathOwners.erase(it) : std::next(it);
    m_view.units.insert(now.units.begin(), now.units.end());
    m_view.pathOwners.insert(now.pathOwners.begin(), now.pathOwners.end());
    return changes;
}

}  // namespace zodisk
