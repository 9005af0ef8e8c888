// Building host trees for tests and benchmarks. Failures to edit the tree
// throw std::runtime_error: a tree that cannot be built is a broken test.
#include "host_tree.h"

#include "ZOPlatformInfo.h"
#include "ZoHostInternal.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace zotest {

namespace {

const char kCommandTable[] = "/.zohost/commands";

[[noreturn]] void failed(const std::string& what, const std::string& path) {
    throw std::runtime_error("host tree: cannot " + what + " " + path);
}

std::string makeTempDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zohost-XXXXXX";
    if (!::mkdtemp(&pattern[0]))
        failed("create", pattern);
    return pattern;
}

// "/sys/a/b" -> "a/b": the path below /sys, for relative links.
std::string belowSys(const std::string& sysDir) {
    if (sysDir.compare(0, 5, "/sys/") != 0)
        throw std::invalid_argument("host tree: sysfs directory outside /sys: " + sysDir);
    return sysDir.substr(5);
}

std::string devText(int major, int minor) {
    return std::to_string(major) + ":" + std::to_string(minor);
}

}  // namespace

HostTree::HostTree() : m_root(makeTempDir()), m_owned(true) {}

HostTree::HostTree(const std::string& dir, bool owned) : m_root(dir), m_owned(owned) {
    while (m_root.size() > 1 && m_root.back() == '/')
        m_root.pop_back();
}

HostTree::~HostTree() {
    if (m_owned) {
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }
}

std::string HostTree::at(const std::string& path) const {
    return m_root + (path.empty() || path[0] != '/' ? "/" : "") + path;
}

namespace {

void writeReal(const std::string& real, const std::string& contents, std::ios::openmode how) {
    std::error_code ec;
    fs::create_directories(fs::path(real).parent_path(), ec);
    std::ofstream f(real, std::ios::binary | how);
    f << contents;
    if (!f.flush())
        failed("write", real);
}

}  // namespace

void HostTree::write(const std::string& path, const std::string& contents) {
    writeReal(at(path), contents, std::ios::trunc);
}

void HostTree::append(const std::string& path, const std::string& contents) {
    writeReal(at(path), contents, std::ios::app);
}

std::string HostTree::read(const std::string& path) const {
    std::ifstream f(at(path), std::ios::binary);
    if (!f)
        failed("read", at(path));
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool HostTree::exists(const std::string& path) const {
    std::error_code ec;
    return fs::exists(fs::symlink_status(at(path), ec));
}

void HostTree::symlink(const std::string& target, const std::string& linkPath) {
    const std::string real = at(linkPath);
    std::error_code ec;
    fs::create_directories(fs::path(real).parent_path(), ec);
    fs::remove(real, ec);
    fs::create_symlink(target, real, ec);
    if (ec)
        failed("link", real);
}

void HostTree::mkdir(const std::string& path) {
    std::error_code ec;
    fs::create_directories(at(path), ec);
    if (ec)
        failed("make directory", at(path));
}

void HostTree::remove(const std::string& path) {
    std::error_code ec;
    fs::remove_all(at(path), ec);
    if (ec)
        failed("remove", at(path));
}

namespace {

void addPartitionsLine(HostTree& tree, int major, int minor, uint64_t sectors, const std::string& name) {
    if (!tree.exists("/proc/partitions"))
        tree.write("/proc/partitions", "major minor  #blocks  name\n\n");
    char line[256];
    std::snprintf(line, sizeof line, "%4d  %7d %10llu %s\n", major, minor,
                  static_cast<unsigned long long>(sectors / 2), name.c_str());
    tree.append("/proc/partitions", line);
}

}  // namespace

void HostTree::addBlockDevice(const std::string& name, int major, int minor, uint64_t sectors,
                              const std::string& sysDir) {
    const std::string rel = belowSys(sysDir);
    const std::string dev = devText(major, minor);
    write(sysDir + "/dev", dev + "\n");
    write(sysDir + "/size", std::to_string(sectors) + "\n");
    write(sysDir + "/ro", "0\n");
    write(sysDir + "/removable", "0\n");
    write(sysDir + "/uevent", "MAJOR=" + std::to_string(major) + "\nMINOR=" + std::to_string(minor) +
                                  "\nDEVNAME=" + name + "\nDEVTYPE=disk\n");
    symlink("../../" + rel, "/sys/class/block/" + name);
    symlink("../" + rel, "/sys/block/" + name);
    symlink("../../" + rel, "/sys/dev/block/" + dev);
    addPartitionsLine(*this, major, minor, sectors, name);
}

void HostTree::addPartition(const std::string& disk, const std::string& name, int partno, int major,
                            int minor, uint64_t start, uint64_t sectors) {
    const std::string diskDir = sysDirOf(disk);
    if (diskDir.empty())
        throw std::invalid_argument("host tree: no block device " + disk);
    const std::string sysDir = diskDir + "/" + name;
    const std::string rel = belowSys(sysDir);
    const std::string dev = devText(major, minor);
    write(sysDir + "/dev", dev + "\n");
    write(sysDir + "/partition", std::to_string(partno) + "\n");
    write(sysDir + "/start", std::to_string(start) + "\n");
    write(sysDir + "/size", std::to_string(sectors) + "\n");
    write(sysDir + "/ro", "0\n");
    write(sysDir + "/uevent", "MAJOR=" + std::to_string(major) + "\nMINOR=" + std::to_string(minor) +
                                  "\nDEVNAME=" + name + "\nDEVTYPE=partition\nPARTN=" +
                                  std::to_string(partno) + "\n");
    symlink("../../" + rel, "/sys/class/block/" + name);
    symlink("../../" + rel, "/sys/dev/block/" + dev);
    addPartitionsLine(*this, major, minor, sectors, name);
}

std::string HostTree::sysDirOf(const std::string& name) const {
    std::error_code ec;
    fs::path target = fs::read_symlink(at("/sys/class/block/" + name), ec);
    if (ec)
        return "";
    return (fs::path("/sys/class/block") / target).lexically_normal().string();
}

void HostTree::setProcDevices(const std::vector<std::pair<int, std::string>>& chars,
                              const std::vector<std::pair<int, std::string>>& blocks) {
    std::string text = "Character devices:\n";
    char line[128];
    for (const auto& c : chars) {
        std::snprintf(line, sizeof line, "%3d %s\n", c.first, c.second.c_str());
        text += line;
    }
    text += "\nBlock devices:\n";
    for (const auto& b : blocks) {
        std::snprintf(line, sizeof line, "%3d %s\n", b.first, b.second.c_str());
        text += line;
    }
    write("/proc/devices", text);
}

void HostTree::answerCommand(const std::string& command, int exitStatus, const std::string& out,
                             const std::string& err) {
    zohost::CommandAnswer answer;
    answer.exitStatus = exitStatus;
    answer.out = out;
    answer.err = err;
    std::string block;
    if (!zohost::formatCommandAnswer(command, answer, &block))
        throw std::invalid_argument("host tree: a command line cannot hold a newline");
    append(kCommandTable, block);
}

void HostTree::setConfig(const std::string& iniText) { write(ZO_PLATFORM_CONFIG_PATH, iniText); }

HostTree::Installed::Installed(std::shared_ptr<ZoHost> host, std::shared_ptr<ZoHost> previous)
    : m_host(std::move(host)), m_previous(std::move(previous)) {}

HostTree::Installed::~Installed() {
    if (m_host)
        ZoHost::install(m_previous);
}

ZoRootedHost& HostTree::Installed::host() const { return dynamic_cast<ZoRootedHost&>(*m_host); }

HostTree::Installed HostTree::install() {
    std::shared_ptr<ZoHost> host = ZoHost::makeRooted(m_root);
    std::shared_ptr<ZoHost> previous = ZoHost::install(host);
    return Installed(host, previous);
}

}  // namespace zotest
