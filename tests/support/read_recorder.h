// SPDX-License-Identifier: LGPL-2.1-or-later
// A host that records what is read through it (files, links, listings,
// stats, device-mapper states, multipathd's answers), so that the same
// reads can be asked of another host, a capture of the first, and the
// answers compared: a capture that lacks something the library reads shows
// up as a difference. No GoogleTest dependency.
#pragma once

#include "ZoForwardingHost.h"

#include <mutex>
#include <string>
#include <vector>

namespace zotest {

class ReadRecorder final : public ZoForwardingHost {
public:
    explicit ReadRecorder(std::shared_ptr<ZoHost> inner) : ZoForwardingHost(std::move(inner)) {}

    int stat(const std::string& p, struct stat* st) override;
    int lstat(const std::string& p, struct stat* st) override;
    int readlink(const std::string& p, std::string* t) override;
    int access(const std::string& p, int mode) override;
    int listDir(const std::string& p, std::vector<std::string>* names) override;
    int listLinks(const std::string& p, std::vector<std::pair<std::string, std::string>>* links) override;
    using ZoHost::readFile;
    int readFile(const std::string& p, std::string* c, size_t max) override;
    int deviceMapperState(unsigned major, unsigned minor, ZoDmState* state) override;
    int askMultipathd(const std::string& request, std::string* reply, unsigned timeoutMs) override;

    // Asks other each read recorded so far (once per distinct read) and
    // returns one line per read whose answer differs: "op subject:
    // recorded -> other's".
    std::vector<std::string> differences(ZoHost& other);
    size_t reads();

private:
    struct Read {
        std::string op, subject;
        int arg = 0;   // access mode, readFile bound (in KiB), device minor
        int rc = 0;
        std::string answer;
    };
    // The answer of one read of host, as recorded.
    Read ask(ZoHost& host, const Read& how, bool source);
    int keep(Read r);

    std::mutex m_mutex;
    std::vector<Read> m_reads;
};

}  // namespace zotest
