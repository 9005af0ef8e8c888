// SPDX-License-Identifier: LGPL-2.1-or-later
// ZoHostTreeWriter: writes a host tree (docs/host-trees.md) into a
// directory, for tools that capture machines. The rooted host reads what it
// writes.
//
// The directory is reached only through descriptors: every directory, file
// and link is made inside it one component at a time, never following a
// link, so a link the capture wrote is never written through and nothing is
// created outside the directory, whatever the links say.
//
// A capture is whole or marked: open() writes the marker
// (ZoRootedHost::incompleteMarkerPath) before anything else and only
// finish() without problems removes it, after everything written has
// reached the disk. A writer that is killed, or never finishes, leaves its
// tree marked.
//
// Not thread-safe.
#pragma once

#include "ZoExport.h"

#include <memory>
#include <string>
#include <vector>

namespace zohost {
class TreeDirs;
}

class ZODEVICE_API ZoHostTreeWriter {
public:
    ZoHostTreeWriter();
    ~ZoHostTreeWriter();
    ZoHostTreeWriter(const ZoHostTreeWriter&) = delete;
    ZoHostTreeWriter& operator=(const ZoHostTreeWriter&) = delete;

    // The machine path a link at machine path link whose stored target is
    // target names: an absolute target from "/", a relative one from the
    // link's directory, "." and ".." taken as written (no link followed);
    // "" for an empty target.
    static std::string linkedPath(const std::string& link, const std::string& target);

    // Opens dir, creating it (and its parents) when missing, and marks it
    // incomplete. A dir that exists must be an empty directory this process
    // may write. Returns true, or false with *why set.
    bool open(const std::string& dir, std::string* why);
    // Ends the capture. Without problems, syncs what was written and
    // removes the marker: the tree is whole. Otherwise the marker stays and
    // names the problems, one a line. Returns 0, or the errno of the
    // failure (the tree then stays marked, unless rewriting the marker
    // failed).
    int finish(const std::vector<std::string>& problems);

    // Paths are machine paths ("/sys/block/sdb/size"), made inside the
    // directory. Each returns 0 when done, EEXIST when something is already
    // there, or the errno of the failure (ELOOP or ENOTDIR: a link or file
    // of the capture stands where a directory would have to be).
    int mkdirs(const std::string& path);
    int writeFile(const std::string& path, const std::string& contents);
    int writeLink(const std::string& path, const std::string& target);

private:
    std::unique_ptr<zohost::TreeDirs> m_dirs;
};
