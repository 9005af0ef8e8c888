// SPDX-License-Identifier: LGPL-2.1-or-later
#include "changes.h"

#include "columns.h"

#include <algorithm>
#include <set>

namespace zodisk {

namespace {

std::string plural(size_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

bool anyPathKnows(const ViewUnit& u, const char* fact) {
    return std::any_of(u.paths.begin(), u.paths.end(), [&](const ViewPath& p) { return p.facts.count(fact); });
}

// "3 of 4 paths active" (a map), "1 of 2 paths live" (an NVMe namespace:
// paths whose controller is live), or "4 paths" when no path state is known.
std::string pathCount(const ViewUnit& u) {
    if (anyPathKnows(u, "dm_state"))
        return std::to_string(u.activePaths()) + " of " + plural(u.paths.size(), "path") + " active";
    if (!anyPathKnows(u, "controller_state"))
        return plural(u.paths.size(), "path");
    const size_t live = std::count_if(u.paths.begin(), u.paths.end(), [](const ViewPath& p) {
        auto it = p.facts.find("controller_state");
        return it != p.facts.end() && it->second == "live";
    });
    return std::to_string(live) + " of " + plural(u.paths.size(), "path") + " live";
}

std::string sizeOf(const ViewUnit& u) {
    return showFact(viewFact("size"), u.facts.at("size"));
}

// "WWID w at 2:0:0:1" with the parts the unit has.
std::string identityText(const ViewUnit& u) {
    std::string s;
    if (!u.wwid.empty())
        s = "WWID " + u.wwid;
    if (!u.place.empty())
        s += (s.empty() ? "at " : " at ") + u.place;
    return s;
}

std::string factText(const FactChange& f) {
    const ViewFact& fact = viewFact(f.key.c_str());
    return std::string(fact.words) + " " + showFact(fact, f.before) + " -> " + showFact(fact, f.after);
}

std::vector<FactChange> factChanges(const FactValues& before, const FactValues& after) {
    std::vector<FactChange> out;
    for (const ViewFact& f : viewFacts()) {
        auto b = before.find(f.key), a = after.find(f.key);
        if (b != before.end() && a != after.end() && b->second != a->second)
            out.push_back({f.key, b->second, a->second});
    }
    return out;
}

// The keys of two maps by identity, each once, in order.
template <class Map>
std::set<std::string> keysOfEither(const Map& before, const Map& after) {
    std::set<std::string> keys;
    for (const auto* m : {&before, &after})
        for (const auto& entry : *m)
            keys.insert(entry.first);
    return keys;
}

class Comparer {
public:
    Comparer(const HostView& before, const HostView& after) : m_before(before), m_after(after) {}

    std::vector<Change> run() {
        for (const std::string& k : keysOfEither(m_before.units, m_after.units)) {
            auto b = m_before.units.find(k), a = m_after.units.find(k);
            if (b == m_before.units.end())
                appeared(a->second);
            else if (a == m_after.units.end())
                vanished(b->second);
            else
                unit(b->second, a->second);
        }
        endpoints();
        config();
        std::stable_sort(m_out.begin(), m_out.end(), [](const Change& x, const Change& y) {
            return std::make_pair(x.group.empty(), x.group) < std::make_pair(y.group.empty(), y.group);
        });
        return std::move(m_out);
    }

private:
    Change& add(const ViewUnit& u, const std::string& kind, const std::string& message) {
        m_out.push_back({u.name, kind, message, u.wwid, u.map ? "" : u.kname, u.place, {}});
        return m_out.back();
    }

    // The map that holds identity in view, or null.
    static const ViewUnit* mapHolding(const HostView& view, const std::string& identity) {
        auto owner = view.pathOwners.find(identity);
        if (owner == view.pathOwners.end())
            return nullptr;
        const ViewUnit& u = view.units.at(owner->second);
        return u.map ? &u : nullptr;
    }

    // A disk that was a path of a map that is still there (or became a
    // path of a map that was there) is told of by the map.
    bool toldByMap(const ViewUnit& u, const HostView& other) const {
        if (u.map || u.wwid.empty() || u.place.empty())
            return false;
        const ViewUnit* m = mapHolding(other, pathIdentity(u.wwid, u.place));
        return m && m_before.units.count(m->key) && m_after.units.count(m->key);
    }

    void appeared(const ViewUnit& u) {
        if (toldByMap(u, m_before))
            return;
        std::string id = identityText(u);
        add(u, "appeared",
            u.name + " appeared: " + (id.empty() ? "" : id + ", ") + sizeOf(u) +
                (u.map ? ", " + pathCount(u) : ""));
    }

    void vanished(const ViewUnit& u) {
        if (toldByMap(u, m_after))
            return;
        std::string id = identityText(u);
        add(u, "vanished",
            u.name + " vanished" + (id.empty() ? "" : ": " + id) +
                (u.map ? ", had " + plural(u.paths.size(), "path") : ""));
    }

    void unit(const ViewUnit& b, const ViewUnit& a) {
        if (a.map && b.name != a.name)
            add(a, "renamed", b.name + " renamed to " + a.name + " (WWID " + a.wwid + ")");
        if (!a.map && b.kname != a.kname)
            add(a, "moved", b.kname + " is now " + a.kname + " (" + identityText(a) + ")");
        for (const FactChange& f : factChanges(b.facts, a.facts)) {
            Change& c = add(a, viewFact(f.key.c_str()).change, a.name + ": " + factText(f));
            c.facts.push_back(f);
        }
        if (a.map || !a.paths.empty() || !b.paths.empty())
            paths(b, a);
        partitions(b, a);
    }

    void paths(const ViewUnit& b, const ViewUnit& a) {
        for (const ViewPath& p : b.paths)
            if (!a.path(p.key))
                pathLost(a, p);
        for (const ViewPath& p : a.paths)
            if (!b.path(p.key))
                pathGained(a, p);
        // Per path, what changed; a fact that changed alike on every path
        // (a firmware upgrade) is told once for the map.
        std::vector<std::pair<const ViewPath*, std::vector<FactChange>>> changed;
        for (const ViewPath& p : a.paths)
            if (const ViewPath* old = b.path(p.key))
                changed.emplace_back(&p, factChanges(old->facts, p.facts));
        collapseAlike(a, &changed);
        for (auto& [p, facts] : changed) {
            const ViewPath& old = *b.path(p->key);
            if (old.name != p->name) {
                Change& c = add(a, "moved", "path " + p->key + " of " + a.name + " is now " + p->name +
                                                " (was " + old.name + ")");
                c.device = p->name;
                c.place = p->key;
            }
            if (!facts.empty())
                pathState(a, *p, facts);
        }
    }

    void collapseAlike(const ViewUnit& a,
                       std::vector<std::pair<const ViewPath*, std::vector<FactChange>>>* changed) {
        if (changed->size() < 2)
            return;
        for (const ViewFact& f : viewFacts()) {
            if (std::string(f.key) == "dm_state" || !(f.holders & (ON_PATH | ON_NVME_PATH)))
                continue;
            const FactChange* first = nullptr;
            bool alike = true;
            for (auto& entry : *changed) {
                auto it = std::find_if(entry.second.begin(), entry.second.end(),
                                       [&](const FactChange& c) { return c.key == f.key; });
                if (it == entry.second.end() || (first && (it->before != first->before ||
                                                           it->after != first->after))) {
                    alike = false;
                    break;
                }
                first = first ? first : &*it;
            }
            if (!alike)
                continue;
            Change& c = add(a, f.change,
                            a.name + ": " + f.words + " of all " + plural(changed->size(), "path") +
                                " " + showFact(f, first->before) + " -> " + showFact(f, first->after));
            c.facts.push_back(*first);
            for (auto& entry : *changed)
                entry.second.erase(std::remove_if(entry.second.begin(), entry.second.end(),
                                                  [&](const FactChange& x) { return x.key == f.key; }),
                                   entry.second.end());
        }
    }

    void pathLost(const ViewUnit& a, const ViewPath& p) {
        std::string still;
        auto owner = m_after.pathOwners.find(pathIdentity(a.wwid, p.key));
        if (owner != m_after.pathOwners.end() && !m_after.units.at(owner->second).map)
            still = "; " + m_after.units.at(owner->second).kname + " stays, no map holds it";
        Change& c = add(a, "path-lost",
                        a.name + " lost path " + p.name + " (" + p.key + "): " + pathCount(a) + still);
        c.device = p.name;
        c.place = p.key;
    }

    void pathGained(const ViewUnit& a, const ViewPath& p) {
        auto owner = m_before.pathOwners.find(pathIdentity(a.wwid, p.key));
        bool wasDisk = owner != m_before.pathOwners.end() && !m_before.units.at(owner->second).map;
        Change& c = add(a, "path-gained",
                        a.name + " gained path " + p.name + " (" + p.key + "): " + pathCount(a) +
                            (wasDisk ? "; no map held it before" : ""));
        c.device = p.name;
        c.place = p.key;
    }

    // "sdc failed in mpatha: 3 of 4 paths active; state running -> offline",
    // "nvme0c1n1 in nvme0n1: controller state live -> connecting; 1 of 2 paths live"
    void pathState(const ViewUnit& a, const ViewPath& p, const std::vector<FactChange>& facts) {
        std::string head = p.name + " in " + a.name + ": ";
        std::string rest;
        bool counted = false;   // a change of the controller's state ends with the count
        for (const FactChange& f : facts) {
            if (f.key == "dm_state" && f.after == "failed")
                head = p.name + " failed in " + a.name + ": " + pathCount(a);
            else if (f.key == "dm_state" && f.after == "active" && f.before == "failed")
                head = p.name + " reinstated in " + a.name + ": " + pathCount(a);
            else
                rest += (rest.empty() ? "" : ", ") + factText(f);
            counted = counted || f.key == "controller_state";
        }
        if (counted)
            rest += "; " + pathCount(a);
        bool headDone = head.back() != ' ';
        Change& c = add(a, "path-state", headDone && !rest.empty() ? head + "; " + rest : head + rest);
        c.device = p.name;
        c.place = p.key;
        c.facts = facts;
    }

    void partitions(const ViewUnit& b, const ViewUnit& a) {
        auto find = [](const ViewUnit& u, int n) -> const ViewPartition* {
            for (const ViewPartition& p : u.partitions)
                if (p.number == n)
                    return &p;
            return nullptr;
        };
        auto size = [](uint64_t sectors) { return humanSize(sectors * 512); };
        std::string prefix = a.name + ": partition ";
        for (const ViewPartition& p : b.partitions)
            if (!find(a, p.number))
                add(a, "partitions", prefix + std::to_string(p.number) + " removed");
        for (const ViewPartition& p : a.partitions) {
            const ViewPartition* old = find(b, p.number);
            std::string n = std::to_string(p.number);
            if (!old) {
                add(a, "partitions", prefix + n + " added (start " + std::to_string(p.start) + ", " +
                                         size(p.sectors) + ")");
                continue;
            }
            std::string what;
            if (old->start != p.start && old->start && p.start)   // 0: a map's table not known
                what = "start " + std::to_string(old->start) + " -> " + std::to_string(p.start);
            if (old->sectors != p.sectors)
                what += (what.empty() ? "" : ", ") + std::string("size ") + size(old->sectors) +
                        " -> " + size(p.sectors);
            if (!what.empty())
                add(a, "partitions", prefix + n + ": " + what);
        }
    }

    // Fibre Channel ports and iSCSI sessions, by identity.
    void endpoints() {
        for (const std::string& k : keysOfEither(m_before.endpoints, m_after.endpoints)) {
            auto b = m_before.endpoints.find(k), a = m_after.endpoints.find(k);
            if (b == m_before.endpoints.end()) {
                std::string facts;
                for (const ViewFact& f : viewFacts())
                    if (a->second.facts.count(f.key))
                        facts += (facts.empty() ? ": " : ", ") + std::string(f.words) + " " +
                                 showFact(f, a->second.facts.at(f.key));
                addEndpoint(a->second, "appeared", named(a->second) + " appeared" + facts);
            } else if (a == m_after.endpoints.end()) {
                addEndpoint(b->second, "vanished", named(b->second) + " vanished");
            } else {
                endpoint(b->second, a->second);
            }
        }
    }

    void endpoint(const ViewEndpoint& b, const ViewEndpoint& a) {
        if (b.name != a.name)
            addEndpoint(a, "moved", a.noun + " " + a.identity + " is now " + a.name + " (was " + b.name + ")");
        std::vector<FactChange> facts = factChanges(b.facts, a.facts);
        if (facts.empty())
            return;
        std::string text;
        for (const FactChange& f : facts)
            text += (text.empty() ? "" : ", ") + factText(f);
        addEndpoint(a, viewFact(facts.front().key.c_str()).change, named(a) + ": " + text).facts = facts;
    }

    // "iSCSI session session2 (iqn.2003-01.org.example:t1 at 10.0.0.2:3260)"
    static std::string named(const ViewEndpoint& e) { return e.noun + " " + e.name + " (" + e.identity + ")"; }

    Change& addEndpoint(const ViewEndpoint& e, const std::string& kind, const std::string& message) {
        m_out.push_back({"", kind, message, "", e.name, e.identity, {}});
        return m_out.back();
    }

    void config() {
        std::set<ConfigEntry> b(m_before.config.begin(), m_before.config.end());
        std::set<ConfigEntry> a(m_after.config.begin(), m_after.config.end());
        for (const ConfigEntry& e : b)
            if (!a.count(e))
                configChange(e, "config-removed", "removed");
        for (const ConfigEntry& e : a)
            if (!b.count(e))
                configChange(e, "config-added", "added");
    }

    void configChange(const ConfigEntry& e, const char* kind, const char* verb) {
        std::string group;
        for (const HostView* v : {&m_after, &m_before}) {
            auto u = v->units.find("map " + e.wwid);
            if (group.empty() && u != v->units.end())
                group = u->second.name;
        }
        m_out.push_back({group, kind, e.file + ": " + e.what + " for " + e.wwid + " " + verb, e.wwid,
                         "", "", {}});
    }

    const HostView& m_before;
    const HostView& m_after;
    std::vector<Change> m_out;
};

Json orNull(const std::string& s) { return s.empty() ? Json(nullptr) : Json(s); }

}  // namespace

std::vector<Change> compareViews(const HostView& before, const HostView& after) {
    return Comparer(before, after).run();
}

Json changeJson(const Change& c) {
    Json facts = Json::object();
    for (const FactChange& f : c.facts)
        facts[f.key] = {{"before", orNull(f.before)}, {"after", orNull(f.after)}};
    return {{"group", orNull(c.group)}, {"change", c.kind},       {"wwid", orNull(c.wwid)},
            {"device", orNull(c.device)}, {"place", orNull(c.place)}, {"message", c.message},
            {"facts", facts}};
}

}  // namespace zodisk
