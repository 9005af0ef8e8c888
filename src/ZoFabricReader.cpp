// SPDX-License-Identifier: LGPL-2.1-or-later
#include "ZoFabricReader.h"

#include "ZoStrings.h"
#include "ZoSysfs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zo_fabric {

namespace {

using zo_str::baseName;
using zo_str::dirName;
using zo_str::trimmed;

const std::vector<size_t> kNone;

bool allDigits(const std::string& s, size_t from, size_t to) {
    if (from >= to || to > s.size()) return false;
    return std::all_of(s.begin() + from, s.begin() + to, [](char c) { return c >= '0' && c <= '9'; });
}

// The number after prefix in name ("session12" -> 12), or -1.
long numberAfter(const std::string& name, const std::string& prefix) {
    if (name.compare(0, prefix.size(), prefix) != 0 || !allDigits(name, prefix.size(), name.size()) ||
        name.size() - prefix.size() > 9)
        return -1;
    return std::stol(name.substr(prefix.size()));
}

// The component of path that starts with prefix and whose rest passes ok,
// or "".
template <class Ok>
std::string componentOf(const std::string& path, const std::string& prefix, Ok ok) {
    for (size_t pos = path.find("/" + prefix); pos != std::string::npos; pos = path.find("/" + prefix, pos + 1)) {
        const size_t end = std::min(path.find('/', pos + 1), path.size());
        const std::string part = path.substr(pos + 1, end - pos - 1);
        if (ok(part)) return part;
    }
    return std::string();
}

// "nvme<S>c<C>n<N>" (a path device) gives "nvme<S>n<N>" and "nvme<C>";
// "nvme<S>n<N>" gives itself and no controller. False for other names.
bool nvmeNames(const std::string& name, std::string* nameSpace, std::string* controller) {
    if (name.compare(0, 4, "nvme") != 0) return false;
    const size_t c = name.find('c', 4), n = name.find('n', 4);
    if (n == std::string::npos || !allDigits(name, n + 1, name.size())) return false;
    if (c != std::string::npos && c < n) {
        if (!allDigits(name, 4, c) || !allDigits(name, c + 1, n)) return false;
        *nameSpace = name.substr(0, c) + name.substr(n);
        *controller = "nvme" + name.substr(c + 1, n - c - 1);
        return true;
    }
    if (!allDigits(name, 4, n)) return false;
    *nameSpace = name;
    controller->clear();
    return true;
}

// "address:port", the address in brackets when it is an IPv6 one; "" when
// either is missing.
std::string portalOf(const std::string& address, const std::string& port) {
    if (address.empty() || port.empty()) return std::string();
    return (address.find(':') != std::string::npos ? "[" + address + "]" : address) + ":" + port;
}

template <class Entry>
void sortByName(std::vector<Entry>* entries) {
    std::stable_sort(entries->begin(), entries->end(),
                     [](const Entry& a, const Entry& b) { return naturalLess(a.name, b.name); });
}

template <class Entry>
size_t indexOf(const std::vector<Entry>& entries, const std::string& name) {
    auto it = std::lower_bound(entries.begin(), entries.end(), name,
                               [](const Entry& e, const std::string& n) { return naturalLess(e.name, n); });
    return it != entries.end() && it->name == name ? static_cast<size_t>(it - entries.begin()) : ZoFabric::npos;
}

}  // namespace

bool naturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            size_t ei = i, ej = j;
            while (ei < a.size() && digit(a[ei])) ++ei;
            while (ej < b.size() && digit(b[ej])) ++ej;
            size_t si = i, sj = j;   // without leading zeros
            while (si + 1 < ei && a[si] == '0') ++si;
            while (sj + 1 < ej && b[sj] == '0') ++sj;
            if (ei - si != ej - sj) return ei - si < ej - sj;
            const int c = a.compare(si, ei - si, b, sj, ej - sj);
            if (c != 0) return c < 0;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j]) return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j || (a.size() - i == b.size() - j && a < b);
}

void splitNvmeAddress(const std::string& address, ZoNvmeController* c) {
    c->traddr.clear();
    c->trsvcid.clear();
    c->hostTraddr.clear();
    if (address.find('=') == std::string::npos) {
        c->traddr = trimmed(address);   // PCIe: the PCI address
        return;
    }
    std::string srcAddr;
    size_t pos = 0;
    while (pos <= address.size()) {
        const size_t end = std::min(address.find(',', pos), address.size());
        const std::string part = trimmed(address.substr(pos, end - pos));
        const size_t eq = part.find('=');
        if (eq != std::string::npos) {
            const std::string key = part.substr(0, eq), value = part.substr(eq + 1);
            if (key == "traddr") c->traddr = value;
            else if (key == "trsvcid") c->trsvcid = value;
            else if (key == "host_traddr") c->hostTraddr = value;
            else if (key == "src_addr") srcAddr = value;
        }
        pos = end + 1;
    }
    if (c->hostTraddr.empty()) c->hostTraddr = srcAddr;
}

// --- Reading ----------------------------------------------------------------

bool Reader::attr(std::vector<std::string>& problems, const std::string& path, std::string* value) {
    const int rc = m_host.readAttr(path, value);
    if (rc == 0) {
        *value = trimmed(*value);
        return true;
    }
    value->clear();
    // Missing, or (an iSCSI connection's address) not connected: not known.
    if (rc != ENOENT && rc != ENOTDIR && rc != ENOTCONN)
        problems.push_back(baseName(path) + ": " + std::strerror(rc));
    return false;
}

template <class Entry>
void Reader::attrs(Entry& e, const std::string& dir,
                   std::initializer_list<std::pair<const char*, std::string Entry::*>> fields) {
    for (const auto& field : fields) attr(e.problems, dir + "/" + field.first, &(e.*field.second));
}

// The entries of a sysfs class as (name, directory); none when the host
// has no such class.
std::vector<std::pair<std::string, std::string>> Reader::classEntries(const std::string& cls) {
    std::vector<std::pair<std::string, std::string>> links, out;
    const std::string dir = "/sys/class/" + cls;
    if (m_host.listLinks(dir, &links) != 0) return out;
    for (const auto& link : links) {
        std::string target = zo_sysfs::linkTarget(dir + "/" + link.first, link.second);
        if (!target.empty()) out.emplace_back(link.first, std::move(target));
    }
    return out;
}

void Reader::readFc() {
    for (const auto& entry : classEntries("fc_host")) {
        ZoFcHostPort port;
        port.name = entry.first;
        attrs(port, entry.second,
              {{"port_name", &ZoFcHostPort::portName}, {"node_name", &ZoFcHostPort::nodeName},
               {"port_state", &ZoFcHostPort::portState}, {"speed", &ZoFcHostPort::speed},
               {"fabric_name", &ZoFcHostPort::fabricName}, {"port_id", &ZoFcHostPort::portId},
               {"port_type", &ZoFcHostPort::portType}});
        m_fabric.fcHosts.push_back(std::move(port));
    }
    for (const auto& entry : classEntries("fc_remote_ports")) {
        ZoFcRemotePort port;
        port.name = entry.first;
        // "rport-H:C-N" is seen by hostH.
        const size_t colon = port.name.find(':');
        if (port.name.compare(0, 6, "rport-") == 0 && colon != std::string::npos)
            port.host = "host" + port.name.substr(6, colon - 6);
        attrs(port, entry.second,
              {{"port_name", &ZoFcRemotePort::portName}, {"node_name", &ZoFcRemotePort::nodeName},
               {"port_state", &ZoFcRemotePort::portState}, {"roles", &ZoFcRemotePort::roles},
               {"port_id", &ZoFcRemotePort::portId}});
        m_fabric.fcRemotePorts.push_back(std::move(port));
    }
}

void Reader::readIscsi() {
    for (const auto& entry : classEntries("iscsi_session")) {
        ZoIscsiSession s;
        s.name = entry.first;
        const long sid = numberAfter(s.name, "session");
        if (sid < 0) continue;
        s.sid = static_cast<unsigned>(sid);
        // .../hostH/sessionN/iscsi_session/sessionN
        const std::string host = baseName(dirName(dirName(dirName(entry.second))));
        if (numberAfter(host, "host") >= 0) s.host = host;
        attrs(s, entry.second,
              {{"targetname", &ZoIscsiSession::targetName}, {"state", &ZoIscsiSession::state},
               {"tpgt", &ZoIscsiSession::tpgt}, {"initiatorname", &ZoIscsiSession::initiatorName},
               {"ifacename", &ZoIscsiSession::iface}});
        m_fabric.iscsiSessions.push_back(std::move(s));
    }
    sortByName(&m_fabric.iscsiSessions);
    readConnections();
}

// The first connection of each session: its portal and state.
void Reader::readConnections() {
    for (const auto& entry : classEntries("iscsi_connection")) {
        // "connection<sid>:<cid>"
        const std::string& name = entry.first;
        const size_t colon = name.find(':');
        if (colon == std::string::npos) continue;
        const size_t s = indexOf(m_fabric.iscsiSessions, "session" + name.substr(10, colon - 10));
        if (name.compare(0, 10, "connection") != 0 || s == ZoFabric::npos) continue;
        ZoIscsiSession& session = m_fabric.iscsiSessions[s];
        if (!session.persistentPortal.empty() || !session.portal.empty()) continue;   // not the first
        std::string address, port, persistentAddress, persistentPort;
        attr(session.problems, entry.second + "/address", &address);
        attr(session.problems, entry.second + "/port", &port);
        attr(session.problems, entry.second + "/persistent_address", &persistentAddress);
        attr(session.problems, entry.second + "/persistent_port", &persistentPort);
        attr(session.problems, entry.second + "/state", &session.connectionState);
        session.persistentPortal = portalOf(persistentAddress, persistentPort);
        session.portal = portalOf(address, port);
        if (session.portal.empty()) session.portal = session.persistentPortal;
    }
}

void Reader::readNvme() {
    readNvmeSubsystems();
    for (const auto& entry : classEntries("nvme")) {
        ZoNvmeController c;
        c.name = entry.first;
        attrs(c, entry.second,
              {{"transport", &ZoNvmeController::transport}, {"address", &ZoNvmeController::address},
               {"state", &ZoNvmeController::state}, {"cntlid", &ZoNvmeController::cntlid},
               {"subsysnqn", &ZoNvmeController::subsysNqn}, {"model", &ZoNvmeController::model},
               {"serial", &ZoNvmeController::serial}, {"firmware_rev", &ZoNvmeController::firmware}});
        splitNvmeAddress(c.address, &c);
        readControllerPaths(entry.second, c.name);
        m_fabric.nvmeControllers.push_back(std::move(c));
    }
}

void Reader::readNvmeSubsystems() {
    for (const auto& entry : classEntries("nvme-subsystem")) {
        ZoNvmeSubsystem s;
        s.name = entry.first;
        attrs(s, entry.second,
              {{"subsysnqn", &ZoNvmeSubsystem::nqn}, {"model", &ZoNvmeSubsystem::model},
               {"serial", &ZoNvmeSubsystem::serial}, {"firmware_rev", &ZoNvmeSubsystem::firmware},
               {"iopolicy", &ZoNvmeSubsystem::iopolicy}});
        // Its controllers are links in its directory, named as they are.
        std::vector<std::pair<std::string, std::string>> links;
        m_host.listLinks(entry.second, &links);
        for (const auto& link : links)
            if (numberAfter(link.first, "nvme") >= 0) m_subsystemControllers[s.name].push_back(link.first);
        m_fabric.nvmeSubsystems.push_back(std::move(s));
    }
}

// The namespaces and path devices in a controller's directory, with their
// ANA states.
void Reader::readControllerPaths(const std::string& dir, const std::string& controller) {
    std::vector<std::string> names;
    m_host.listDir(dir, &names);
    for (const std::string& name : names) {
        std::string nameSpace, pathController;
        if (!nvmeNames(name, &nameSpace, &pathController)) continue;
        ZoNvmePath p;
        p.name = name;
        p.nameSpace = nameSpace;
        attr(p.problems, dir + "/" + name + "/ana_state", &p.anaState);
        m_pathControllers[name] = controller;
        m_fabric.nvmePaths.push_back(std::move(p));
    }
}

void Reader::finish() {
    ZoFabric& f = m_fabric;
    sortByName(&f.fcHosts);
    sortByName(&f.fcRemotePorts);
    sortByName(&f.iscsiSessions);
    sortByName(&f.nvmeSubsystems);
    sortByName(&f.nvmeControllers);
    std::stable_sort(f.nvmePaths.begin(), f.nvmePaths.end(), [](const ZoNvmePath& a, const ZoNvmePath& b) {
        return a.nameSpace != b.nameSpace ? naturalLess(a.nameSpace, b.nameSpace) : naturalLess(a.name, b.name);
    });
    for (size_t i = 0; i < f.fcRemotePorts.size(); ++i) m_rports.emplace(f.fcRemotePorts[i].name, i);
    for (size_t i = 0; i < f.iscsiSessions.size(); ++i) m_sessions.emplace(f.iscsiSessions[i].name, i);
    for (size_t s = 0; s < f.nvmeSubsystems.size(); ++s) {
        for (const std::string& name : m_subsystemControllers[f.nvmeSubsystems[s].name]) {
            const size_t c = indexOf(f.nvmeControllers, name);
            if (c == ZoFabric::npos) continue;
            f.nvmeSubsystems[s].controllers.push_back(c);
            f.nvmeControllers[c].subsystem = s;
        }
        std::sort(f.nvmeSubsystems[s].controllers.begin(), f.nvmeSubsystems[s].controllers.end());
    }
    for (size_t i = 0; i < f.nvmePaths.size(); ++i) {
        f.nvmePaths[i].controller = indexOf(f.nvmeControllers, m_pathControllers[f.nvmePaths[i].name]);
        m_paths[f.nvmePaths[i].nameSpace].push_back(i);
    }
}

size_t Reader::remotePortOf(const std::string& deviceDir) const {
    const std::string rport = componentOf(deviceDir, "rport-", [](const std::string&) { return true; });
    auto it = m_rports.find(rport);
    return it == m_rports.end() ? ZoFabric::npos : it->second;
}

size_t Reader::sessionOf(const std::string& deviceDir) const {
    const std::string session =
        componentOf(deviceDir, "session", [](const std::string& p) { return numberAfter(p, "session") >= 0; });
    auto it = m_sessions.find(session);
    return it == m_sessions.end() ? ZoFabric::npos : it->second;
}

const std::vector<size_t>& Reader::pathsOf(const std::string& nameSpace) const {
    auto it = m_paths.find(nameSpace);
    return it == m_paths.end() ? kNone : it->second;
}

// --- multipathd -----------------------------------------------------------------

// Fields without blanks around them, so that the raw reply splits at '|';
// the checker state, which may hold a blank ("i/o pending"), comes last.
const char kPathHealthRequest[] = "show paths raw format %D|%t|%p|%T";

std::map<std::string, ZoPathHealth> parsePathHealth(const std::string& reply) {
    std::map<std::string, ZoPathHealth> out;
    size_t pos = 0;
    while (pos < reply.size()) {
        const size_t end = std::min(reply.find('\n', pos), reply.size());
        const std::string line = reply.substr(pos, end - pos);
        pos = end + 1;
        const size_t a = line.find('|'), b = line.find('|', a + 1), c = line.find('|', b + 1);
        if (a == std::string::npos || b == std::string::npos || c == std::string::npos) continue;
        unsigned major = 0, minor = 0;
        if (!zo_sysfs::parseDevno(trimmed(line.substr(0, a)), &major, &minor)) continue;
        ZoPathHealth h;
        h.known = true;
        h.dmState = trimmed(line.substr(a + 1, b - a - 1));
        const std::string priority = trimmed(line.substr(b + 1, c - b - 1));
        const bool negative = !priority.empty() && priority[0] == '-';
        if (allDigits(priority, negative ? 1 : 0, priority.size()) && priority.size() < 10)
            h.priority = std::stoi(priority);
        h.checker = trimmed(line.substr(c + 1));
        out[std::to_string(major) + ":" + std::to_string(minor)] = h;
    }
    return out;
}

}  // namespace zo_fabric

size_t ZoFabric::fcHost(const std::string& name) const { return zo_fabric::indexOf(fcHosts, name); }

size_t ZoFabric::nvmeController(const std::string& name) const {
    return zo_fabric::indexOf(nvmeControllers, name);
}
