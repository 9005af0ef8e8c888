// The multipath.conf engine on any text, with the promises the editor
// makes about the files it rewrites:
//   - adding keeps every line of the input, byte for byte and in order, and
//     inserts only its own entry lines and section lines;
//   - after adding a WWID it has exactly one exception and one multipath
//     block;
//   - adding a new WWID and removing it again gives the input back (unless
//     the input holds an empty section, which the removal takes away);
//   - a removal's lines are lines of its input, in order;
//   - adding a WWID the file has both entries for changes nothing.
// The editor refuses a text whose braces do not balance; the engine only
// has to survive one.
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

// How often each WWID is an exception and a block in text.
struct Named {
    std::map<std::string, int> exceptions, blocks;
    bool emptySection = false;  // a bare header right before a bare '}'
};

Named named(const std::string& text) {
    Named n;
    zo_mpconf::SectionTracker tracker;
    bool lastOpened = false;
    for (std::string_view line : zo_mpconf::splitLines(text)) {
        const zo_mpconf::LineView v = tracker.next(line);
        for (const std::string& w : v.exceptionWwids) ++n.exceptions[w];
        for (const std::string& w : v.blockWwids) ++n.blocks[w];
        n.emptySection = n.emptySection || (lastOpened && v.bareSectionClose);
        lastOpened = v.bareSectionOpen;
    }
    return n;
}

void checkAddThenRemove(const std::string& text) {
    std::string wwid = "3600f000000000001";
    while (text.find(wwid) != std::string::npos) wwid += 'f';
    const std::string stamp = "2024/01/01 00:00:00 ";
    const zo_mpconf::AddPlan add = zo_mpconf::planAdd(text, {wwid}, stamp);
    require(add.changed() && add.alreadyPresent.empty());
    const std::string added = join(add.lines);
    require(text.empty() || (text.back() == '\n') == (added.back() == '\n'));

    Lines inserted;
    require(subsequence(terminated(text), terminated(added), &inserted));
    Lines allowed = zo_mpconf::multipathBlockLines(wwid, stamp);
    allowed.push_back(zo_mpconf::exceptionLine(wwid, stamp));
    allowed.insert(allowed.end(), {"blacklist_exceptions {\n", "multipaths {\n", "}\n"});
    for (const std::string& l : inserted) require(std::find(allowed.begin(), allowed.end(), l) != allowed.end());

    const Named after = named(added);
    require(after.exceptions.at(wwid) == 1 && after.blocks.at(wwid) == 1);

    const zo_mpconf::RemovePlan removal = zo_mpconf::planRemove(added, {wwid});
    require(removal.keep());
    require(named(text).emptySection || join(removal.lines) == text);
}

void checkRemoveAndReadd(const std::string& text) {
    const Named before = named(text);
    for (const auto* kind : {&before.exceptions, &before.blocks}) {
        if (kind->empty()) continue;
        const std::string wwid = kind->begin()->first;
        const zo_mpconf::RemovePlan removal = zo_mpconf::planRemove(text, {wwid});
        require(subsequence(terminated(join(removal.lines)), terminated(text), nullptr));
        const zo_mpconf::AddPlan add = zo_mpconf::planAdd(text, {wwid}, "2024/01/01 00:00:00 ");
        const bool both = before.exceptions.count(wwid) && before.blocks.count(wwid);
        require(add.changed() != both);
        require(!both || join(add.lines) == text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (zo_mpconf::findBraceFault(text).line != 0) {
        zo_mpconf::planAdd(text, {"3600f000000000001"}, "");
        zo_mpconf::planRemove(text, {"3600f000000000001"});
        return 0;
    }
    checkAddThenRemove(text);
    checkRemoveAndReadd(text);
    return 0;
}
