// The two editor operations of ZoDeviceTree on host trees: the switch, the
// WWID collection, the file handling and the result list.
#include "ZoDeviceTree.h"
#include "ZoDeviceTreeEditor.h"
#include "ZoInternal.h"
#include "support/dm_tree.h"
#include "support/host_tree.h"
#include "support/log_capture.h"
#include "support/scsi_tree.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <memory>

namespace {

const char* const kConf = "/etc/multipath.conf";
const char* const kTemp = "/etc/multipath.conf.zo_temp";
const char* const kLock = "/etc/multipath.conf.zo_lock";
const char* const kEnabled = "[Ferrovane]\nnConfigureBlacklistException = 1\n";
const char* const kSwitchOff = "Registry key nConfigureBlacklistException not set.";
// 2023-11-14 22:13:20 UTC.
const time_t kClock = 1700000000;
const char* const kStamp = "2023/11/14 22:13:20 ";

const std::string kUsual =
    "defaults {\n\tuser_friendly_names yes\n\tfind_multipaths yes\n}\n"
    "blacklist {\n\tdevnode \"^(ram|zram)[0-9]*\"\n}\n"
    "blacklist_exceptions {\n\tproperty \"(SCSI_IDENT_|ID_WWN)\"\n}\n"
    "multipaths {\n}\n";

std::string exceptionLine(const std::string& w) {
    return "\twwid \"" + w + "\" # autocreated by quorvel on " + kStamp + "\n";
}
std::string block(const std::string& w) {
    return std::string("\tmultipath {\n\t\t# autocreated by quorvel on ") + kStamp +
           "\n\t\twwid \"" + w + "\"\n\t\talias \"mpath_zo_" + w + "\"\n\t}\n";
}

class EditorTest : public ::testing::Test {
protected:
    EditorTest() {
        if (const char* tz = getenv("TZ")) savedTz = tz;
        setenv("TZ", "UTC", 1);
        tzset();
        zo_internal::resetProcessState();
        tree.setConfig(kEnabled);
        tree.write(kConf, kUsual);
        sdb = disk("sdb", 16, 1);
        sdc = disk("sdc", 32, 2);
        zotest::DmMapSpec map;
        map.name = "mpatha";
        map.minor = 0;
        map.wwid = zotest::wwidOfSeed(1);
        map.paths = {"sdb"};
        zotest::addMultipathMap(tree, map);
    }
    ~EditorTest() override {
        zo_internal::resetProcessState();
        if (savedTz.empty()) {
            unsetenv("TZ");
        } else {
            setenv("TZ", savedTz.c_str(), 1);
        }
        tzset();
    }

    zotest::ScsiDiskSpec disk(const std::string& name, int minor, uint64_t seed) {
        zotest::ScsiDiskSpec s;
        s.name = name;
        s.minor = minor;
        s.host = minor / 16;
        s.seed = seed;
        zotest::addScsiDisk(tree, s);
        return s;
    }
    void install() {
        installed.reset(new zotest::HostTree::Installed(tree.install()));
        installed->host().setClock(kClock);
    }
    static std::vector<std::string> messages(const CLuError& e) {
        std::vector<std::string> out;
        for (const auto& entry : e.Entries()) out.push_back(entry.message);
        return out;
    }

    std::string savedTz;
    zotest::HostTree tree;
    std::unique_ptr<zotest::HostTree::Installed> installed;
    zotest::ScsiDiskSpec sdb, sdc;
    const std::string w1 = zotest::wwidOfSeed(1);
    const std::string w2 = zotest::wwidOfSeed(2);
};

TEST_F(EditorTest, SwitchMustBeOnAndNonZero) {
    const char* configs[] = {
        nullptr,
        "[Ferrovane]\nnConfigureBlacklistException = 0\n",
        "[Ferrovane]\nsomethingElse = 1\n",
        "[Elsewhere]\nnConfigureBlacklistException = 1\n",
        "[Ferrovane]\nnConfigureBlacklistException = yes\n",
    };
    for (const char* config : configs) {
        SCOPED_TRACE(config ? config : "(no configuration file)");
        if (config) {
            tree.setConfig(config);
        } else {
            tree.remove("/etc/quorvel/config.ini");
        }
        install();
        std::list<std::string> paths = {"/dev/sdb"};
        CLuError err;
        EXPECT_TRUE(ZoDeviceTree::addMultipathBlacklistExceptions(paths, &err).empty());
        EXPECT_EQ(err.AsString(), kSwitchOff);
        EXPECT_EQ(err.GetCode(), 774);
        CLuError delErr;
        EXPECT_EQ(ZoDeviceTree::delMultipathBlacklistExceptions(paths, &delErr), -1);
        EXPECT_EQ(delErr.AsString(), kSwitchOff);
        std::list<std::string> none;
        CLuError emptyErr;
        EXPECT_EQ(ZoDeviceTree::delMultipathBlacklistExceptions(none, &emptyErr), -1);
        EXPECT_EQ(emptyErr.AsString(), kSwitchOff);
        EXPECT_EQ(tree.read(kConf), kUsual);
        EXPECT_FALSE(tree.exists(kLock));
        installed.reset();
    }
}

TEST_F(EditorTest, EmptyPathListTouchesNothing) {
    install();
    std::list<std::string> none;
    CLuError err;
    EXPECT_TRUE(ZoDeviceTree::addMultipathBlacklistExceptions(none, &err).empty());
    EXPECT_EQ(ZoDeviceTree::delMultipathBlacklistExceptions(none, &err), -1);
    EXPECT_FALSE(err.IsError());
    EXPECT_FALSE(tree.exists(kLock));
    // Adding does not even consult the switch.
    tree.setConfig("[Ferrovane]\nnConfigureBlacklistException = 0\n");
    EXPECT_TRUE(ZoDeviceTree::addMultipathBlacklistExceptions(none, &err).empty());
    EXPECT_FALSE(err.IsError());
}

TEST_F(EditorTest, AddWritesEntriesRefreshesAndReturnsTheMaps) {
    install();
    zotest::LogCapture log;
    std::list<std::string> paths = {"/dev/sdb", "/dev/sdz", "/dev/sdc"};
    CLuError err;
    auto result = ZoDeviceTree::addMultipathBlacklistExceptions(paths, &err);

    EXPECT_EQ(tree.read(kConf),
              "defaults {\n\tuser_friendly_names yes\n\tfind_multipaths yes\n}\n"
              "blacklist {\n\tdevnode \"^(ram|zram)[0-9]*\"\n}\n"
              "blacklist_exceptions {\n\tproperty \"(SCSI_IDENT_|ID_WWN)\"\n" +
                  exceptionLine(w1) + exceptionLine(w2) + "}\nmultipaths {\n" + block(w1) +
                  block(w2) + "}\n");
    ASSERT_EQ(result.size(), 3u);
    auto it = result.begin();
    ASSERT_TRUE(*it);
    EXPECT_EQ((*it)->getType(), ZoDevice::MPIO_DISK);
    EXPECT_EQ((*it)->getDevicePath(), "/dev/mapper/mpatha");
    EXPECT_FALSE(*++it) << "the path no kind accepts";
    EXPECT_FALSE(*++it) << "a disk without a map";
    // The only entry is the failed lookup; paths are untouched.
    ASSERT_EQ(messages(err).size(), 1u) << err.AsString();
    EXPECT_NE(err.AsString().find("/dev/sdz"), std::string::npos) << err.AsString();
    EXPECT_EQ(paths.size(), 3u);
    EXPECT_FALSE(tree.exists(kTemp));
    const auto commands = installed->host().commandsRun();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "multipath -r"), commands.end());
    EXPECT_EQ(log.count("Device: /dev/sdb. Wwid " + w1), 1u) << log.dump();
}

TEST_F(EditorTest, AddingTheSameDiskAgainChangesNothingButStillAnswers) {
    install();
    std::list<std::string> paths = {"/dev/sdb"};
    CLuError first;
    ZoDeviceTree::addMultipathBlacklistExceptions(paths, &first);
    const std::string once = tree.read(kConf);
    installed->host().setClock(kClock + 3600);
    CLuError second;
    auto result = ZoDeviceTree::addMultipathBlacklistExceptions(paths, &second);
    EXPECT_EQ(tree.read(kConf), once);
    EXPECT_EQ(messages(second), std::vector<std::string>{"Blacklist exception already exists for " + w1});
    ASSERT_EQ(result.size(), 1u);
    EXPECT_TRUE(result.front());
}

TEST_F(EditorTest, CollectionSkipsWhatHasNoUsableWwid) {
    // sdd: a second path of sdb's disk; sde: an ASCII designator holding a
    // quote and a blank, which would break the entry's line.
    disk("sdd", 48, 1);
    zotest::ScsiDiskSpec bad;
    bad.name = "sde";
    bad.minor = 64;
    bad.host = 4;
    const std::string designator = "AB\" C";
    std::string body = std::string{'\x02', '\x03', '\x00', static_cast<char>(designator.size())} + designator;
    bad.vpdPg83 = std::string{'\x00', '\x83', '\x00', static_cast<char>(body.size())} + body;
    zotest::addScsiDisk(tree, bad);
    install();

    struct Case {
        std::list<std::string> paths;
        std::vector<std::string> wwids;
        std::vector<std::string> pushed;
    } cases[] = {
        {{"/dev/sdb", "/dev/sdd", "/dev/sdc", "/dev/sdb"}, {w1, w2}, {}},
        {{"/dev/sde", "/dev/sdc"}, {w2}, {"Unable to get scsi id"}},
        {{"/dev/mapper/mpatha", "/dev/sdc"}, {w2}, {"/dev/mapper/mpatha is already a MPIO device"}},
    };
    for (const auto& c : cases) {
        std::string name;
        for (const auto& p : c.paths) name += p + " ";
        CLuError err;
        EXPECT_EQ(zo_editor::collectWwids(c.paths, true, &err), c.wwids) << name;
        EXPECT_EQ(messages(err), c.pushed) << name;
    }
    // Removal takes a multipath device's own WWID.
    CLuError err;
    EXPECT_EQ(zo_editor::collectWwids({"/dev/mapper/mpatha"}, false, &err),
              std::vector<std::string>{w1})
        << err.AsString();
}

TEST_F(EditorTest, NothingUsableLeavesTheFileAlone) {
    install();
    std::list<std::string> paths = {"/dev/mapper/mpatha", "/dev/nothing"};
    CLuError err;
    EXPECT_TRUE(ZoDeviceTree::addMultipathBlacklistExceptions(paths, &err).empty());
    EXPECT_EQ(messages(err).size(), 2u) << err.AsString();
    EXPECT_EQ(tree.read(kConf), kUsual);
    EXPECT_FALSE(tree.exists(kLock));
}

TEST_F(EditorTest, RemoveUndoesAddAndReportsWhatIsMissing) {
    install();
    std::list<std::string> both = {"/dev/sdb", "/dev/sdc"};
    CLuError err;
    ZoDeviceTree::addMultipathBlacklistExceptions(both, &err);
    ASSERT_NE(tree.read(kConf), kUsual);

    // One WWID present and one not: nothing changes.
    tree.write(kConf, kUsual + "blacklist_exceptions {\n" + exceptionLine(w1) + "}\n");
    CLuError missing;
    EXPECT_EQ(ZoDeviceTree::delMultipathBlacklistExceptions(both, &missing), -1);
    EXPECT_EQ(missing.AsString(), "One or more wwid(s) not found in /etc/multipath.conf");
    EXPECT_EQ(tree.read(kConf), kUsual + "blacklist_exceptions {\n" + exceptionLine(w1) + "}\n");
    EXPECT_FALSE(tree.exists(kTemp));

    // Through the multipath device's own path.
    std::list<std::string> map = {"/dev/mapper/mpatha"};
    CLuError ok;
    EXPECT_EQ(ZoDeviceTree::delMultipathBlacklistExceptions(map, &ok), 0) << ok.AsString();
    EXPECT_EQ(tree.read(kConf), kUsual + "blacklist_exceptions {\n}\n");
    EXPECT_FALSE(ok.IsError());

    // The full round trip.
    tree.write(kConf, kUsual);
    ZoDeviceTree::addMultipathBlacklistExceptions(both, &err);
    EXPECT_EQ(ZoDeviceTree::delMultipathBlacklistExceptions(both, &ok), 0) << ok.AsString();
    EXPECT_EQ(tree.read(kConf), kUsual);
}

TEST_F(EditorTest, ReplacementKeepsModeAndOwnerAndClearsAStaleTemporaryFile) {
    ASSERT_EQ(0, ::chmod(tree.at(kConf).c_str(), 0640));
    if (::chown(tree.at(kConf).c_str(), 1234, 5678) != 0) GTEST_SKIP() << "cannot chown here";
    tree.write(kTemp, "left behind by a process that died\n");
    ASSERT_EQ(0, ::chmod(tree.at(kTemp).c_str(), 0666));
    install();
    std::list<std::string> paths = {"/dev/sdc"};
    CLuError err;
    EXPECT_EQ(ZoDeviceTree::addMultipathBlacklistExceptions(paths, &err).size(), 1u);
    struct stat st;
    ASSERT_EQ(0, ::stat(tree.at(kConf).c_str(), &st));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
    EXPECT_NE(tree.read(kConf).find(block(w2)), std::string::npos);
    EXPECT_FALSE(tree.exists(kTemp));
}

TEST_F(EditorTest, MissingConfigurationFileIsAnOpenError) {
    tree.remove(kConf);
    install();
    zotest::LogCapture log;
    std::list<std::string> paths = {"/dev/sdb"};
    CLuError err;
    EXPECT_TRUE(ZoDeviceTree::addMultipathBlacklistExceptions(paths, &err).empty());
    EXPECT_EQ(err.AsString(), "Unable to open /etc/multipath.conf");
    EXPECT_EQ(err.GetCode(), ENOENT);
    EXPECT_EQ(log.count("Unable to open /etc/multipath.conf. error 2"), 1u) << log.dump();
    CLuError delErr;
    EXPECT_EQ(ZoDeviceTree::delMultipathBlacklistExceptions(paths, &delErr), -1);
    EXPECT_EQ(delErr.AsString(), "Unable to open /etc/multipath.conf");
    EXPECT_FALSE(tree.exists(kConf));
    EXPECT_FALSE(tree.exists(kTemp));
}

}  // namespace
