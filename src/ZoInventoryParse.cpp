// SPDX-License-Identifier: LGPL-2.1-or-later
#include "ZoInventoryParse.h"

#include "ZoStrings.h"
#include "ZoSysfs.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace zo_inv {

using zo_str::trimmed;

namespace {

// Words of a target's parameters, read front to back; any read past the end
// or a count that is no number makes the cursor bad.
class Words {
public:
    explicit Words(const std::string& text) {
        auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
        for (auto at = text.begin(); at != text.end();) {
            at = std::find_if_not(at, text.end(), blank);
            const auto end = std::find_if(at, text.end(), blank);
            if (at != end) m_words.emplace_back(at, end);
            at = end;
        }
    }
    bool ok() const { return m_ok; }
    bool done() const { return m_pos >= m_words.size(); }
    std::string next() {
        if (m_pos >= m_words.size()) {
            m_ok = false;
            return std::string();
        }
        return m_words[m_pos++];
    }
    // A count: a decimal number of at most 4 digits (no target has more
    // arguments than that).
    unsigned count() {
        const std::string w = next();
        if (w.empty() || w.size() > 4 || w.find_first_not_of("0123456789") != std::string::npos) {
            m_ok = false;
            return 0;
        }
        return static_cast<unsigned>(std::atoi(w.c_str()));
    }
    // The next n words joined by blanks.
    std::string join(unsigned n) {
        std::string out;
        for (unsigned i = 0; i < n && m_ok; ++i) out += (i ? " " : "") + next();
        return out;
    }

private:
    std::vector<std::string> m_words;
    size_t m_pos = 0;
    bool m_ok = true;
};

const ZoDmTarget* onlyTarget(const std::vector<ZoDmTarget>& targets, const char* type) {
    return targets.size() == 1 && targets.front().type == type ? &targets.front() : nullptr;
}

bool parseTable(const std::string& params, ZoMapState* out) {
    Words w(params);
    const unsigned nFeatures = w.count();
    const std::string features = w.join(nFeatures);
    out->features = std::to_string(nFeatures) + (nFeatures ? " " + features : "");
    for (Words f(features); !f.done();) out->queueIfNoPath |= f.next() == "queue_if_no_path";
    out->hardwareHandler = w.join(w.count());
    const unsigned nGroups = w.count();
    w.next();  // the group tried first
    for (unsigned g = 1; g <= nGroups && w.ok(); ++g) {
        ZoMapGroup group;
        group.number = static_cast<int>(g);
        const std::string name = w.next();
        const unsigned nArgs = w.count();
        group.selector = name + " " + std::to_string(nArgs) + (nArgs ? " " + w.join(nArgs) : "");
        const unsigned nPaths = w.count();
        const unsigned nPathArgs = w.count();
        for (unsigned p = 0; p < nPaths && w.ok(); ++p) {
            ZoMapPath path;
            path.group = group.number;
            if (!zo_sysfs::parseDevno(w.next(), &path.major, &path.minor)) return false;
            w.join(nPathArgs);
            out->paths.push_back(path);
        }
        out->groups.push_back(group);
    }
    return w.ok() && w.done();
}

// Fills in group and path states from the status; false (and nothing
// changed) unless it describes the same groups and paths as the table.
bool parseStatus(const std::string& params, ZoMapState* out) {
    Words w(params);
    w.join(w.count());  // feature status: queueing now, pg_init count
    w.join(w.count());  // hardware handler status
    const unsigned nGroups = w.count();
    w.next();  // the group to be used next
    if (!w.ok() || nGroups != out->groups.size()) return false;
    std::vector<std::string> groupStates;
    std::vector<std::pair<std::string, unsigned>> pathStates;
    size_t pathIndex = 0;
    for (unsigned g = 0; g < nGroups && w.ok(); ++g) {
        const std::string state = w.next();
        groupStates.push_back(state == "A" ? "active" : state == "E" ? "enabled"
                              : state == "D"             ? "disabled"
                                                         : state);
        w.join(w.count());
        const unsigned nPaths = w.count();
        const unsigned nPathArgs = w.count();
        for (unsigned p = 0; p < nPaths && w.ok(); ++p, ++pathIndex) {
            unsigned maj = 0, min = 0;
            if (!zo_sysfs::parseDevno(w.next(), &maj, &min) || pathIndex >= out->paths.size() ||
                out->paths[pathIndex].major != maj || out->paths[pathIndex].minor != min)
                return false;
            const std::string state = w.next();
            const std::string fails = w.next();
            if (fails.empty() || fails.find_first_not_of("0123456789") != std::string::npos)
                return false;
            pathStates.emplace_back(state == "A" ? "active" : state == "F" ? "failed" : state,
                                    static_cast<unsigned>(std::strtoul(fails.c_str(), nullptr, 10)));
            w.join(nPathArgs);
        }
    }
    if (!w.ok() || !w.done() || pathIndex != out->paths.size()) return false;
    for (size_t g = 0; g < groupStates.size(); ++g) out->groups[g].state = groupStates[g];
    for (size_t p = 0; p < pathStates.size(); ++p) {
        out->paths[p].dmState = pathStates[p].first;
        out->paths[p].failCount = pathStates[p].second;
    }
    return true;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

bool parseMultipathState(const ZoDmState& dm, ZoMapState* out) {
    *out = ZoMapState();
    const ZoDmTarget* table = onlyTarget(dm.table, "multipath");
    ZoMapState state;
    if (!table || !parseTable(table->params, &state)) return false;
    if (const ZoDmTarget* status = onlyTarget(dm.status, "multipath")) parseStatus(status->params, &state);
    state.known = true;
    *out = state;
    return true;
}

bool parseLinearTarget(const ZoDmState& dm, unsigned* major, unsigned* minor, uint64_t* start) {
    const ZoDmTarget* table = onlyTarget(dm.table, "linear");
    if (!table || table->start != 0) return false;
    Words w(table->params);
    if (!zo_sysfs::parseDevno(w.next(), major, minor)) return false;
    const std::string first = w.next();
    if (!w.ok() || !w.done() || first.find_first_not_of("0123456789") != std::string::npos) return false;
    *start = std::strtoull(first.c_str(), nullptr, 10);
    return true;
}

std::string unitSerial(const std::string& page) {
    if (page.size() < 4) return std::string();
    const size_t length = (static_cast<unsigned char>(page[2]) << 8) | static_cast<unsigned char>(page[3]);
    std::string serial = page.substr(4, length);
    serial.erase(std::find(serial.begin(), serial.end(), '\0'), serial.end());
    return trimmed(serial);
}

bool inquiryStrings(const std::string& response, std::string* vendor, std::string* model, std::string* revision) {
    if (response.size() < 36) return false;
    const auto field = [&response](size_t at, size_t length) {
        std::string text = response.substr(at, length);
        text.erase(std::find(text.begin(), text.end(), '\0'), text.end());
        return trimmed(text);
    };
    *vendor = field(8, 8);
    *model = field(16, 16);
    *revision = field(32, 4);
    return true;
}

std::string wwidOfAttribute(const std::string& attribute) {
    const std::string text = trimmed(attribute);
    if (text.compare(0, 4, "naa.") == 0) return "3" + lower(text.substr(4));
    if (text.compare(0, 4, "eui.") == 0) return "2" + lower(text.substr(4));
    if (text.compare(0, 4, "t10.") == 0) return "1" + text.substr(4);
    return text;
}

namespace {

// A field of mountinfo or /proc/swaps with "\ooo" escapes decoded.
std::string unescapeOctal(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        const auto octal = [&](size_t k) { return k < field.size() && field[k] >= '0' && field[k] <= '7'; };
        if (field[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3) && field[i + 1] <= '3') {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::vector<std::string> fieldsOf(const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string f; in >> f;) fields.push_back(f);
    return fields;
}

}  // namespace

std::vector<MountEntry> parseMountinfo(const std::string& text) {
    // "ID PARENT MAJ:MIN ROOT TARGET OPTIONS [TAG...] - FSTYPE SOURCE SUPER"
    std::vector<MountEntry> mounts;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const std::vector<std::string> f = fieldsOf(line);
        size_t dash = 6;
        while (dash < f.size() && f[dash] != "-") ++dash;
        MountEntry m;
        if (dash + 2 >= f.size() || !zo_sysfs::parseDevno(f[2], &m.major, &m.minor)) continue;
        m.target = unescapeOctal(f[4]);
        m.source = unescapeOctal(f[dash + 2]);
        mounts.push_back(std::move(m));
    }
    return mounts;
}

std::vector<std::string> parseSwaps(const std::string& text) {
    // "Filename Type Size Used Priority", then one line per area.
    std::vector<std::string> areas;
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        const std::vector<std::string> f = fieldsOf(line);
        if (f.size() >= 2) areas.push_back(unescapeOctal(f[0]));
    }
    return areas;
}

std::string decodeUdevValue(const std::string& value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        const auto hex = [&](size_t k) { return k < value.size() && std::isxdigit(static_cast<unsigned char>(value[k])); };
        if (value.compare(i, 2, "\\x") == 0 && hex(i + 2) && hex(i + 3)) {
            const char c = static_cast<char>(std::strtoul(value.substr(i + 2, 2).c_str(), nullptr, 16));
            if (c == 0) break;
            out += c;
            i += 3;
            continue;
        }
        out += value[i];
    }
    return out;
}

}  // namespace zo_inv
