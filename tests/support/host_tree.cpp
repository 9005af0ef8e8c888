// SPDX-License-Identifier: LGPL-2.1-or-later
// Failures to edit the tree throw std::runtime_error (std::filesystem's
// errors are ones): a tree that cannot be built is a broken test.
#include "host_tree.h"

#include "ZOPlatformInfo.h"
#include "ZoHostInternal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

namespace zotest {

namespace {

[[noreturn]] void failed(const std::string& what, const std::string& path) {
    throw std::runtime_error("host tree: cannot " + what + " " + path);
}

std::string makeTempDir() {
    std::string pattern = (fs::temp_directory_path() / "zohost-XXXXXX").string();
    if (!::mkdtemp(&pattern[0])) failed("create", pattern);
    return pattern;
}

void writeReal(const std::string& real, const std::string& contents, std::ios::openmode how) {
    fs::create_directories(fs::path(real).parent_path());
    std::ofstream f(real, std::ios::binary | how);
    if (!(f << contents).flush()) failed("write", real);
}

// What a disk and a partition have alike: dev and size attributes, class and
// number links, the /proc/partitions line.
void addNode(HostTree& tree, const std::string& name, int major, int minor, uint64_t sectors, const std::string& sysDir) {
    if (sysDir.compare(0, 5, "/sys/") != 0)
        throw std::invalid_argument("host tree: sysfs directory outside /sys: " + sysDir);
    const std::string dev = std::to_string(major) + ":" + std::to_string(minor);
    tree.write(sysDir + "/dev", dev + "\n");
    tree.write(sysDir + "/size", std::to_string(sectors) + "\n");
    tree.symlink("../../" + sysDir.substr(5), "/sys/class/block/" + name);
    tree.symlink("../../" + sysDir.substr(5), "/sys/dev/block/" + dev);
    if (!tree.exists("/proc/partitions")) tree.write("/proc/partitions", "major minor  #blocks  name\n\n");
    char line[256];
    std::snprintf(line, sizeof line, "%4d  %7d %10llu %s\n", major, minor, static_cast<unsigned long long>(sectors / 2),
                  name.c_str());
    writeReal(tree.at("/proc/partitions"), line, std::ios::app);
}

}  // namespace

HostTree::HostTree() : m_root(makeTempDir()) {}

HostTree::HostTree(const std::string& copyOf) : HostTree() {
    fs::copy(copyOf, m_root, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

HostTree::~HostTree() {
    std::error_code ec;
    if (m_owned) fs::remove_all(m_root, ec);
}

std::string HostTree::at(const std::string& path) const {
    return m_root + (path.empty() || path[0] != '/' ? "/" : "") + path;
}

void HostTree::write(const std::string& path, const std::string& contents) {
    writeReal(at(path), contents, std::ios::trunc);
}

std::string slurp(const std::string& realPath) {
    std::ifstream f(realPath, std::ios::binary);
    if (!f) failed("read", realPath);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> fields(1);
    for (char c : text)
        if (c == separator) fields.emplace_back();
        else fields.back() += c;
    return fields;
}

std::vector<std::vector<std::string>> readTable(const std::string& realPath, size_t minFields) {
    std::vector<std::vector<std::string>> rows;
    for (const std::string& line : split(slurp(realPath), '\n')) {
        if (line.empty() || line[0] == '#') continue;
        rows.push_back(split(line, '\t'));
        for (std::string& f : rows.back())
            for (size_t at = f.find("\\n"); at != std::string::npos; at = f.find("\\n", at + 1)) f.replace(at, 2, "\n");
        rows.back().resize(std::max(rows.back().size(), minFields));
    }
    if (rows.empty()) failed("find rows in", realPath);
    return rows;
}

std::string HostTree::read(const std::string& path) const { return slurp(at(path)); }

bool HostTree::exists(const std::string& path) const {
    std::error_code ec;
    return fs::exists(fs::symlink_status(at(path), ec));
}

void HostTree::symlink(const std::string& target, const std::string& linkPath) {
    fs::create_directories(fs::path(at(linkPath)).parent_path());
    fs::remove(at(linkPath));
    fs::create_symlink(target, at(linkPath));
}

void HostTree::mkdir(const std::string& path) { fs::create_directories(at(path)); }

void HostTree::remove(const std::string& path) { fs::remove_all(at(path)); }

void HostTree::addBlockDevice(const std::string& name, int major, int minor, uint64_t sectors, const std::string& sysDir) {
    addNode(*this, name, major, minor, sectors, sysDir);
    symlink("../" + sysDir.substr(5), "/sys/block/" + name);
}

void HostTree::addPartition(const std::string& disk, const std::string& name, int partno, int major, int minor,
                            uint64_t start, uint64_t sectors) {
    const std::string diskDir = sysDirOf(disk);
    if (diskDir.empty()) throw std::invalid_argument("host tree: no block device " + disk);
    const std::string sysDir = diskDir + "/" + name;
    addNode(*this, name, major, minor, sectors, sysDir);
    write(sysDir + "/partition", std::to_string(partno) + "\n");
    write(sysDir + "/start", std::to_string(start) + "\n");
}

std::string HostTree::sysDirOf(const std::string& name) const {
    std::error_code ec;
    fs::path target = fs::read_symlink(at("/sys/class/block/" + name), ec);
    return ec ? "" : (fs::path("/sys/class/block") / target).lexically_normal().string();
}

void HostTree::answerCommand(const std::string& command, int exitStatus, const std::string& out, const std::string& err) {
    std::string block;
    if (!zohost::formatCommandAnswer(command, {exitStatus, out, err}, &block))
        throw std::invalid_argument("host tree: a command line cannot hold a newline");
    writeReal(at("/.zohost/commands"), block, std::ios::app);
}

void HostTree::setDmState(unsigned major, unsigned minor, const std::vector<std::string>& table,
                          const std::vector<std::string>& status) {
    std::string text;
    for (const std::string& t : table) text += "table " + t + "\n";
    for (const std::string& t : status) text += "status " + t + "\n";
    ZoDmState parsed;
    if (zohost::parseDmState(text, &parsed) != 0) throw std::invalid_argument("host tree: bad target in " + text);
    write(ZoRootedHost::deviceMapperStatePath(major, minor), text);
}

void HostTree::setConfig(const std::string& iniText) { write(ZO_PLATFORM_CONFIG_PATH, iniText); }

HostTree::Installed::~Installed() {
    if (m_host) ZoHost::install(m_previous);
}

ZoRootedHost& HostTree::Installed::host() const { return dynamic_cast<ZoRootedHost&>(*m_host); }

HostTree::Installed HostTree::install() {
    std::shared_ptr<ZoHost> host = ZoHost::makeRooted(m_root);
    return Installed(host, ZoHost::install(host));
}

}  // namespace zotest
