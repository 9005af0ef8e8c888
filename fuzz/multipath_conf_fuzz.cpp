// SPDX-License-Identifier: LGPL-2.1-or-later
// The multipath.conf engine on any text, with the promises the editor
// makes about the files it rewrites (it edits only texts without a fault):
//   - adding keeps every line of the input, byte for byte and in order, and
//     inserts only its own entry lines and section lines;
//   - the result has no fault either, and multipath-tools' reading of it
//     holds exactly one exception and one multipath block for a new WWID;
//   - removing that WWID again gives the input back, plus the empty
//     sections adding appended (sections stay);
//   - a removal's lines are lines of its input, in order, and what is left
//     names none of the removed WWIDs;
//   - adding a WWID that has an exception changes nothing; one that has a
//     block only gets an exception only.
#include "ZoMultipathConf.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

void require(bool ok) {
    if (!ok) std::abort();
}

std::string join(const Lines& lines) {
    std::string text;
    for (const std::string& l : lines) text += l;
    return text;
}

// The lines of text, the last one given a newline when it has none.
Lines terminated(const std::string& text) {
    Lines lines;
    for (std::string_view l : zo_mpconf::splitLines(text)) lines.emplace_back(l);
    if (!lines.empty() && lines.back().back() != '\n') lines.back() += '\n';
    return lines;
}

// Returns true iff part is a subsequence of whole; *rest gets the lines of
// whole that are not in it.
bool subsequence(const Lines& part, const Lines& whole, Lines* rest) {
    size_t i = 0;
    for (const std::string& l : whole) {
        if (i < part.size() && l == part[i]) {
            ++i;
        } else if (rest) {
            rest->push_back(l);
        }
    }
    return i == part.size();
}

// How often each WWID is an exception and a block to multipath-tools.
struct Named {
    std::map<std::string, int> exceptions, blocks;
};

Named named(const zo_mpconf::ConfReading& r) {
    Named n;
    for (const zo_mpconf::ConfEntry& e : r.entries)
        ++(e.kind == zo_mpconf::ConfEntry::EXCEPTION ? n.exceptions : n.blocks)[e.wwid];
    return n;
}

const std::string kStamp = "2024/01/01 00:00:00 ";

void checkAddThenRemove(const std::string& text) {
    std::string wwid = "3600f000000000001";
    while (text.find(wwid) != std::string::npos) wwid += 'f';
    const zo_mpconf::AddPlan add = zo_mpconf::planAdd(text, {wwid}, kStamp);
    require(add.changed() && add.alreadyPresent.empty());
    const std::string added = join(add.lines);
    require(text.empty() || (text.back() == '\n') == (added.back() == '\n'));

    Lines inserted;
    require(subsequence(terminated(text), terminated(added), &inserted));
    Lines allowed = zo_mpconf::multipathBlockLines(wwid, kStamp);
    allowed.push_back(zo_mpconf::exceptionLine(wwid, kStamp));
    const Lines sections = {"blacklist_exceptions {\n", "multipaths {\n", "}\n"};
    allowed.insert(allowed.end(), sections.begin(), sections.end());
    for (const std::string& l : inserted) require(std::find(allowed.begin(), allowed.end(), l) != allowed.end());

    const zo_mpconf::ConfReading after = zo_mpconf::readConf(added);
    require(after.fault.line == 0);
    const Named n = named(after);
    require(n.exceptions.at(wwid) == 1 && n.blocks.at(wwid) == 1);

    const zo_mpconf::RemovePlan removal = zo_mpconf::planRemove(added, {wwid});
    require(removal.exceptionsDone && removal.blocksDone);
    Lines left;
    const std::string removed = join(removal.lines);
    require(subsequence(terminated(text), terminated(removed), &left));
    for (const std::string& l : left) require(std::find(sections.begin(), sections.end(), l) != sections.end());
    require(text.empty() || (text.back() == '\n') == (removed.back() == '\n'));
    const Named rest = named(zo_mpconf::readConf(removed));
    require(rest.exceptions.count(wwid) == 0 && rest.blocks.count(wwid) == 0);
}

void checkRemoveAndReadd(const std::string& text, const zo_mpconf::ConfReading& reading) {
    const Named before = named(reading);
    for (const auto* kind : {&before.exceptions, &before.blocks}) {
        if (kind->empty()) continue;
        const std::string wwid = kind->begin()->first;
        const zo_mpconf::RemovePlan removal = zo_mpconf::planRemove(text, {wwid});
        const std::string removed = join(removal.lines);
        require(subsequence(terminated(removed), terminated(text), nullptr));
        const Named after = named(zo_mpconf::readConf(removed));
        require(!removal.exceptionsDone || after.exceptions.count(wwid) == 0);
        require(!removal.blocksDone || after.blocks.count(wwid) == 0);

        const zo_mpconf::AddPlan add = zo_mpconf::planAdd(text, {wwid}, kStamp);
        if (before.exceptions.count(wwid)) {
            require(!add.changed() && join(add.lines) == text);
        } else {
            require(add.exceptionsAdded.size() == 1 && add.blocksAdded.empty());
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const zo_mpconf::ConfReading reading = zo_mpconf::readConf(text);
    if (reading.fault.line != 0) {
        zo_mpconf::planAdd(text, {"3600f000000000001"}, "");
        zo_mpconf::planRemove(text, {"3600f000000000001"});
        return 0;
    }
    checkAddThenRemove(text);
    checkRemoveAndReadd(text, reading);
    return 0;
}
