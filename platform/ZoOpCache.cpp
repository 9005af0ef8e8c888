// SPDX-License-Identifier: LGPL-2.1-or-later
#include "ZoOpCache.h"

#include <cerrno>
#include <memory>
#include <unordered_map>

namespace zo_cache {

namespace {

struct Memory {
    struct Stat {
        int rc;
        struct stat st;
    };
    struct Text {
        int rc;
        std::string text;
    };
    std::unordered_map<std::string, Stat> stats;
    std::unordered_map<std::string, Text> attrs;
    std::unordered_map<std::string, Text> links;
};

thread_local int t_depth = 0;
thread_local std::unique_ptr<Memory> t_memory;

template <class Map, class Ask, class Give>
int remembered(Map& map, const std::string& key, Ask ask, Give give) {
    auto it = map.find(key);
    if (it == map.end()) it = map.emplace(key, ask()).first;
    give(it->second);
    errno = it->second.rc;
    return it->second.rc;
}

}  // namespace

Scope::Scope() {
    if (t_depth++ == 0) t_memory.reset(new Memory());
}

Scope::~Scope() {
    if (--t_depth == 0) t_memory.reset();
}

void forget() {
    if (t_memory) *t_memory = Memory();
}

int stat(ZoHost& host, const std::string& path, struct stat* st) {
    if (!t_memory) return host.stat(path, st);
    return remembered(
        t_memory->stats, path,
        [&] {
            Memory::Stat s{0, {}};
            s.rc = host.stat(path, &s.st);
            return s;
        },
        [&](const Memory::Stat& s) {
            if (s.rc == 0) *st = s.st;
        });
}

namespace {

// A text answer (an attribute, a link) remembered under path.
template <class Ask>
int rememberedText(std::unordered_map<std::string, Memory::Text>& map, const std::string& path,
                   std::string* out, Ask ask) {
    return remembered(
        map, path,
        [&] {
            Memory::Text t{0, std::string()};
            t.rc = ask(&t.text);
            return t;
        },
        [&](const Memory::Text& t) {
            if (t.rc == 0) *out = t.text;
        });
}

}  // namespace

int readAttr(ZoHost& host, const std::string& path, std::string* value) {
    if (!t_memory) return host.readAttr(path, value);
    return rememberedText(t_memory->attrs, path, value,
                          [&](std::string* text) { return host.readAttr(path, text); });
}

int readlink(ZoHost& host, const std::string& path, std::string* target) {
    if (!t_memory) return host.readlink(path, target);
    return rememberedText(t_memory->links, path, target,
                          [&](std::string* text) { return host.readlink(path, text); });
}

}  // namespace zo_cache
