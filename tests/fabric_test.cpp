// SPDX-License-Identifier: LGPL-2.1-or-later
// The fabric readers on the fabric host tree (tests/data/hosts/README) and
// on kernel texts; multipathd's socket as the live host speaks it and as a
// host tree answers it.
#include "test.h"

#include "ZoFabricReader.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <map>
#include <thread>

namespace {

std::string list(const std::vector<std::string>& items, const char* sep = " ") {
    std::string out;
    for (const std::string& s : items) out += (out.empty() ? "" : sep) + s;
    return out;
}

// One line per endpoint: its name, the facts a reader must get right, and
// what it is linked to.
std::vector<std::string> describe(const ZoFabric& f) {
    std::vector<std::string> out;
    for (const ZoFcHostPort& p : f.fcHosts)
        out.push_back("fc-host " + list({p.name, p.portName, p.nodeName, p.portState, p.speed, p.fabricName}, "|"));
    for (const ZoFcRemotePort& p : f.fcRemotePorts)
        out.push_back("fc-rport " + list({p.name, p.host, p.portName, p.portState, p.roles}, "|"));
    for (const ZoIscsiSession& s : f.iscsiSessions)
        out.push_back("iscsi " + list({s.name, std::to_string(s.sid), s.host, s.targetName, s.portal,
                                       s.persistentPortal, s.tpgt, s.state, s.connectionState, s.iface},
                                      "|"));
    for (const ZoNvmeSubsystem& s : f.nvmeSubsystems) {
        std::vector<std::string> controllers;
        for (size_t c : s.controllers) controllers.push_back(f.nvmeControllers.at(c).name);
        out.push_back("nvme-subsys " + list({s.name, s.nqn, s.model, s.iopolicy, list(controllers, ",")}, "|"));
    }
    for (const ZoNvmeController& c : f.nvmeControllers)
        out.push_back("nvme-ctrl " + list({c.name, c.transport, c.traddr, c.trsvcid, c.hostTraddr, c.state,
                                           c.subsystem == ZoFabric::npos ? "-" : f.nvmeSubsystems[c.subsystem].name},
                                          "|"));
    for (const ZoNvmePath& p : f.nvmePaths)
        out.push_back("nvme-path " + list({p.name, p.nameSpace,
                                           p.controller == ZoFabric::npos ? "-" : f.nvmeControllers[p.controller].name,
                                           p.anaState},
                                          "|"));
    return out;
}

TEST(Fabric, ReadsEveryEndpointOfTheTree) {
    auto host = ZoHost::makeRooted(zotest::dataTree("fabric"));
    zo_fabric::Reader reader(*host);
    reader.readFc();
    reader.readIscsi();
    reader.readNvme();
    reader.finish();
    const std::vector<std::string> expected = {
        "fc-host host3|0x10000090fa000003|0x20000090fa000003|Online|16 Gbit|0x100000051e000001",
        "fc-host host4|0x10000090fa000004|0x20000090fa000004|Online|16 Gbit|0x100000051e000001",
        "fc-rport rport-3:0-0|host3|0x500601600000a001|Online|FCP Target",
        "fc-rport rport-4:0-0|host4|0x500601610000a001|Blocked|FCP Target",
        // A failed session has no current address: its persistent one stands in.
        "iscsi session1|1|host5|iqn.2003-01.org.linux-iscsi.zotest:fabric|127.0.0.1:3260|127.0.0.1:3260|1|LOGGED_IN|up|default",
        "iscsi session2|2|host6|iqn.2003-01.org.linux-iscsi.zotest:fabric|127.0.0.2:3260|127.0.0.2:3260|2|FAILED|failed|default",
        "nvme-subsys nvme-subsys0|nqn.2024-01.org.zotest:fabric|Linux|numa|nvme0,nvme1",
        "nvme-subsys nvme-subsys1|nqn.2019-08.org.qemu:zolocal|QEMU NVMe Ctrl|numa|nvme2",
        "nvme-ctrl nvme0|tcp|127.0.0.1|4420|127.0.0.1|live|nvme-subsys0",
        "nvme-ctrl nvme1|tcp|127.0.0.1|4421||connecting|nvme-subsys0",
        "nvme-ctrl nvme2|pcie|0000:00:06.0|||live|nvme-subsys1",
        "nvme-path nvme0c0n1|nvme0n1|nvme0|optimized",
        "nvme-path nvme0c1n1|nvme0n1|nvme1|inaccessible",
        "nvme-path nvme0c0n2|nvme0n2|nvme0|optimized",
        "nvme-path nvme0c1n2|nvme0n2|nvme1|inaccessible",
        "nvme-path nvme1n1|nvme1n1|nvme2|",
    };
    EXPECT_EQ(expected, describe(reader.fabric()));

    // Which endpoint a SCSI device is reached through, by its place.
    const std::string fcDisk = "/sys/devices/pci0000:00/0000:00:04.0/host4/rport-4:0-0/target4:0:0/4:0:0:1";
    EXPECT_EQ(1u, reader.remotePortOf(fcDisk));
    EXPECT_EQ(ZoFabric::npos, reader.sessionOf(fcDisk));
    EXPECT_EQ(1u, reader.sessionOf("/sys/devices/platform/host6/session2/target6:0:0/6:0:0:0"));
    EXPECT_EQ(ZoFabric::npos, reader.sessionOf("/sys/devices/platform/host6/sessions/target6:0:0/6:0:0:0"));
    EXPECT_EQ(ZoFabric::npos, reader.remotePortOf("/sys/devices/platform/host0/target0:0:0/0:0:0:0"));
    EXPECT_EQ((std::vector<size_t>{2, 3}), reader.pathsOf("nvme0n2"));
    EXPECT_TRUE(reader.pathsOf("nvme9n1").empty());
    EXPECT_EQ(2u, reader.fabric().nvmeController("nvme2"));
    EXPECT_EQ(1u, reader.fabric().fcHost("host4"));
}

// An attribute that cannot be read is a problem of its endpoint; one the
// kernel does not have is no problem.
TEST(Fabric, UnreadableAttributesAreProblems) {
    zotest::HostTree tree(zotest::dataTree("fabric"));
    const std::string rport = "/sys/devices/pci0000:00/0000:00:04.0/host4/rport-4:0-0/fc_remote_ports/rport-4:0-0";
    tree.remove(rport + "/port_state");
    tree.mkdir(rport + "/port_state");   // reading a directory fails with EISDIR
    tree.remove(rport + "/roles");
    auto host = ZoHost::makeRooted(tree.root());
    zo_fabric::Reader reader(*host);
    reader.readFc();
    reader.finish();
    const ZoFcRemotePort& p = reader.fabric().fcRemotePorts.at(1);
    EXPECT_EQ("", p.portState);
    EXPECT_EQ("", p.roles);
    EXPECT_EQ(std::vector<std::string>{std::string("port_state: ") + std::strerror(EISDIR)}, p.problems);
    EXPECT_TRUE(reader.fabric().fcRemotePorts.at(0).problems.empty());
}

// Kernel and daemon texts (tests/data/fabric-texts.tsv).
TEST(Fabric, TextsParse) {
    std::map<std::string, int> kinds;
    for (const auto& c : zotest::readTable(ZODEVICE_SOURCE_DIR "/tests/data/fabric-texts.tsv", 3)) {
        ++kinds[c[0]];
        std::string got;
        if (c[0] == "address") {
            ZoNvmeController ctrl;
            zo_fabric::splitNvmeAddress(c[1], &ctrl);
            got = ctrl.traddr + "|" + ctrl.trsvcid + "|" + ctrl.hostTraddr;
        } else if (c[0] == "health") {
            std::vector<std::string> paths;
            for (const auto& [number, h] : zo_fabric::parsePathHealth(c[1]))
                paths.push_back(number + " " + h.dmState + " " + std::to_string(h.priority) + " " + h.checker);
            got = list(paths, "; ");
        } else if (c[0] == "order") {
            std::vector<std::string> names = zotest::split(c[1], ' ');
            std::sort(names.begin(), names.end(), zo_fabric::naturalLess);
            got = list(names);
        }
        EXPECT_EQ(c[2], got) << c[0] << ": " << c[1];
    }
    EXPECT_EQ((std::map<std::string, int>{{"address", 6}, {"health", 5}, {"order", 3}}), kinds);
}

// A host tree answers multipathd from its table; without the table or the
// request, as a machine where no multipathd runs.
TEST(Fabric, HostTreeAnswersMultipathd) {
    zotest::HostTree tree(zotest::dataTree("fabric"));
    auto host = ZoHost::makeRooted(tree.root());
    std::string reply;
    ASSERT_EQ(0, host->askMultipathd(zo_fabric::kPathHealthRequest, &reply, 1000));
    EXPECT_EQ("8:16|active|50|ready\n8:32|failed|10|faulty\n8:48|active|50|ready\n8:64|failed|50|faulty\n", reply);
    EXPECT_EQ(ECONNREFUSED, host->askMultipathd("show maps", &reply, 1000));
    tree.remove(ZoRootedHost::multipathdTablePath());
    EXPECT_EQ(ECONNREFUSED, host->askMultipathd(zo_fabric::kPathHealthRequest, &reply, 1000));
}

// A stand-in daemon on multipathd's abstract socket: answers each request
// as the daemon frames it (length with the NUL, text, NUL) or, with
// hangUp, closes the connection after the length.
class FakeDaemon {
public:
    FakeDaemon() {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        const std::string name = "/org/kernel/linux/storage/multipathd";
        std::memcpy(addr.sun_path + 1, name.data(), name.size());
        m_bound = ::bind(m_fd, reinterpret_cast<struct sockaddr*>(&addr),
                         static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + name.size())) == 0 &&
                  ::listen(m_fd, 4) == 0;
    }
    ~FakeDaemon() { ::close(m_fd); }
    bool bound() const { return m_bound; }

    // Serves one connection in a thread; the request it got is *request.
    std::thread serve(const std::string& reply, bool hangUp, std::string* request) {
        return std::thread([this, reply, hangUp, request] {
            const int c = ::accept(m_fd, nullptr, nullptr);
            size_t len = 0;
            if (::recv(c, &len, sizeof len, MSG_WAITALL) == sizeof len && len < 4096) {
                std::string text(len, '\0');
                ::recv(c, &text[0], len, MSG_WAITALL);
                *request = text;
            }
            const size_t out = reply.size() + 1;
            ::send(c, &out, sizeof out, MSG_NOSIGNAL);
            if (!hangUp) ::send(c, reply.c_str(), out, MSG_NOSIGNAL);
            ::close(c);
        });
    }

private:
    int m_fd = -1;
    bool m_bound = false;
};

TEST(Fabric, LiveHostSpeaksMultipathdsProtocol) {
    auto live = ZoHost::makeLive();
    std::string reply;
    {
        FakeDaemon daemon;
        if (!daemon.bound()) GTEST_SKIP() << "a multipathd listens on this machine";
        std::string request;
        std::thread t = daemon.serve("8:16|active|50|ready\n", false, &request);
        EXPECT_EQ(0, live->askMultipathd(zo_fabric::kPathHealthRequest, &reply, 5000));
        t.join();
        EXPECT_EQ(std::string(zo_fabric::kPathHealthRequest) + '\0', request);
        EXPECT_EQ("8:16|active|50|ready\n", reply);

        t = daemon.serve("cut short", true, &request);
        EXPECT_EQ(EPROTO, live->askMultipathd("show paths", &reply, 5000));
        t.join();
    }
    // Nobody listens once the daemon is gone.
    const int rc = live->askMultipathd("show paths", &reply, 1000);
    EXPECT_TRUE(rc == ECONNREFUSED || rc == ENOENT) << std::strerror(rc);
}

}  // namespace
