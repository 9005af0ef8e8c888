// SPDX-License-Identifier: LGPL-2.1-or-later
// The text formats of a host tree (docs/host-trees.md): the command table
// and the device-mapper state files. Readers for the rooted host, writers
// for the tools and tests that make trees.
#include "ZoHost.h"

#include "ZoHostInternal.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdlib>

namespace zohost {

namespace {

// Text after a marker of len characters, one separating space dropped.
std::string markerText(const std::string& line, size_t len) {
    if (line.size() > len && line[len] == ' ')
        ++len;
    return line.substr(std::min(len, line.size()));
}

void appendLines(std::string* block, char marker, const std::string& text) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) {
            *block += std::string(1, marker) + "- " + text.substr(pos) + "\n";
            return;
        }
        *block += std::string(1, marker) + " " + text.substr(pos, nl - pos) + "\n";
        pos = nl + 1;
    }
}

// Calls f with each line of text (without its newline).
template <class F>
void eachLine(const std::string& text, F f) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            nl = text.size();
        f(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
}

// A decimal number ending at a blank or at the end of line (as
// parseDecimal); *pos moves past it.
bool takeNumber(const std::string& line, size_t* pos, uint64_t* value) {
    const size_t end = std::min(line.find(' ', *pos), line.size());
    if (!parseDecimal(line.substr(*pos, end - *pos), value))
        return false;
    *pos = end;
    return true;
}

}  // namespace

std::string devText(unsigned major, unsigned minor) {
    return std::to_string(major) + ":" + std::to_string(minor);
}

std::string diskPiecesDir(unsigned major, unsigned minor) {
    return "/.zohost/disks/" + devText(major, minor);
}

bool parseDecimal(const std::string& text, uint64_t* value) {
    if (text.empty())
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (v > (UINT64_MAX - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

bool parseDevNumber(const std::string& text, dev_t* dev) {
    const size_t colon = text.find(':');
    uint64_t maj = 0, min = 0;
    if (colon == std::string::npos || !parseDecimal(text.substr(0, colon), &maj) ||
        !parseDecimal(text.substr(colon + 1), &min) || maj > UINT32_MAX || min > UINT32_MAX)
        return false;
    *dev = makedev(static_cast<unsigned>(maj), static_cast<unsigned>(min));
    return true;
}

std::map<std::string, CommandAnswer> parseCommandTable(const std::string& text) {
    std::map<std::string, CommandAnswer> table;
    bool inBlock = false;
    std::string command;
    CommandAnswer answer;
    auto finish = [&] {
        if (inBlock)
            table[command] = answer;
        inBlock = false;
    };
    eachLine(text, [&](const std::string& line) {
        if (line.empty()) {
            finish();
        } else if (line[0] == '$') {
            finish();
            inBlock = true;
            command = markerText(line, 1);
            answer = CommandAnswer();
        } else if (!inBlock || line[0] == '#') {
            return;
        } else if (line.compare(0, 2, ">-") == 0) {
            answer.out += markerText(line, 2);
        } else if (line[0] == '>') {
            answer.out += markerText(line, 1) + "\n";
        } else if (line.compare(0, 2, "!-") == 0) {
            answer.err += markerText(line, 2);
        } else if (line[0] == '!') {
            answer.err += markerText(line, 1) + "\n";
        } else if (line[0] == '?') {
            answer.exitStatus = std::atoi(markerText(line, 1).c_str());
        }
    });
    finish();
    return table;
}

bool formatCommandAnswer(const std::string& command, const CommandAnswer& answer,
                         std::string* block) {
    if (command.find('\n') != std::string::npos)
        return false;
    std::string text = "$ " + command + "\n";
    appendLines(&text, '>', answer.out);
    appendLines(&text, '!', answer.err);
    text += "? " + std::to_string(answer.exitStatus) + "\n\n";
    block->swap(text);
    return true;
}

int parseDmState(const std::string& text, ZoDmState* state) {
    ZoDmState parsed;
    bool bad = false;
    eachLine(text, [&](const std::string& line) {
        if (bad || line.empty() || line[0] == '#')
            return;
        std::vector<ZoDmTarget>* list = nullptr;
        size_t pos = 0;
        if (line.compare(0, 5, "open ") == 0) {
            uint64_t count = 0;
            pos = 5;
            bad = !takeNumber(line, &pos, &count) || pos != line.size() || count > INT32_MAX;
            parsed.openCount = static_cast<int>(count);
            return;
        }
        if (line.compare(0, 6, "table ") == 0) {
            list = &parsed.table;
            pos = 6;
        } else if (line.compare(0, 7, "status ") == 0) {
            list = &parsed.status;
            pos = 7;
        } else {
            bad = true;
            return;
        }
        ZoDmTarget t;
        if (!takeNumber(line, &pos, &t.start) || pos == line.size() ||
            !takeNumber(line, &++pos, &t.length) || pos == line.size()) {
            bad = true;
            return;
        }
        const size_t typeStart = pos + 1;
        const size_t typeEnd = std::min(line.find(' ', typeStart), line.size());
        t.type = line.substr(typeStart, typeEnd - typeStart);
        if (t.type.empty()) {
            bad = true;
            return;
        }
        if (typeEnd < line.size())
            t.params = line.substr(typeEnd + 1);
        list->push_back(std::move(t));
    });
    if (bad)
        return fail(EINVAL);
    *state = std::move(parsed);
    return 0;
}

}  // namespace zohost

std::string ZoRootedHost::commandTablePath() { return "/.zohost/commands"; }

std::string ZoRootedHost::multipathdTablePath() { return "/.zohost/multipathd"; }

std::string ZoRootedHost::incompleteMarkerPath() { return "/.zohost/incomplete"; }

std::string ZoRootedHost::deviceMapperStatePath(unsigned major, unsigned minor) {
    return "/.zohost/dm/" + zohost::devText(major, minor);
}

std::string ZoRootedHost::diskPiecePath(unsigned major, unsigned minor, uint64_t offset) {
    return zohost::diskPiecesDir(major, minor) + "/" + std::to_string(offset);
}

bool ZoRootedHost::formatCommandAnswer(const std::string& command, const ZoCommandResult& result,
                                       std::string* block) {
    zohost::CommandAnswer answer;
    answer.exitStatus = result.started ? result.exitStatus : 127;
    answer.out = result.out;
    answer.err = result.err;
    return zohost::formatCommandAnswer(command, answer, block);
}

bool ZoRootedHost::formatDeviceMapperState(const ZoDmState& state, std::string* text) {
    std::string out;
    for (const auto* list : {&state.table, &state.status}) {
        for (const ZoDmTarget& t : *list) {
            if (t.type.empty() || t.type.find_first_of(" \n") != std::string::npos ||
                t.params.find('\n') != std::string::npos)
                return false;
            out += (list == &state.table ? "table " : "status ") + std::to_string(t.start) + " " +
                   std::to_string(t.length) + " " + t.type;
            if (!t.params.empty())
                out += " " + t.params;
            out += "\n";
        }
    }
    if (state.openCount >= 0)
        out += "open " + std::to_string(state.openCount) + "\n";
    text->swap(out);
    return true;
}
