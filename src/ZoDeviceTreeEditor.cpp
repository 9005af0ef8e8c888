// SPDX-License-Identifier: LGPL-2.1-or-later
// The multipath configuration editor: the two ZoDeviceTree operations that
// put disks under multipath control in /etc/multipath.conf and take them
// out again. The text editing itself is ZoMultipathConf's; this file does
// the switch, the WWID collection, the lock and the file replacement.
#include "ZoDeviceTreeEditor.h"

#include "EvDebug.h"
#include "FXString.h"
#include "ZOPlatformInfo.h"
#include "ZoDevice.h"
#include "ZoDeviceTree.h"
#include "ZoFileLock.h"
#include "ZoHost.h"
#include "ZoMPIO.h"
#include "ZoMultipathConf.h"
#include "ZoMultipathConfFiles.h"
#include "ZoIdentity.h"
#include "ZoUdev.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <sys/sysmacros.h>

namespace zo_editor {

const char* const kConfPath = "/etc/multipath.conf";
const char* const kTempPath = "/etc/multipath.conf.zo_temp";
const char* const kLockPath = "/etc/multipath.conf.zo_lock";

namespace {

const char* const kConfDir = "/etc";
const char* const kAddFn = "ZoDeviceTree::addMultipathBlacklistExceptions";
const char* const kDelFn = "ZoDeviceTree::delMultipathBlacklistExceptions";

void assign(CLuError* error, const CLuError& value) {
    if (error) *error = value;
}

// One rewrite of the configuration file under the file lock. The lock is
// held from open() until the object is finished with (replace() or
// abandon(), or destruction). When the configuration path is a symbolic
// link, the file it names is rewritten (temporary file beside it, rename
// onto it), so the link stays.
class Rewrite {
public:
    explicit Rewrite(const char* function) : m_fn(function), m_host(ZoHost::current()) {}
    Rewrite(const Rewrite&) = delete;
    Rewrite& operator=(const Rewrite&) = delete;

    // Takes the lock, reads the configuration file into text and the files
    // of its configuration directories into others, and checks that the
    // editor reads them all as multipath-tools does and that the file can
    // be replaced whole. On failure the error is assigned and nothing is
    // held.
    bool open(std::string* text, std::vector<zo_mpconf::ConfFile>* others, CLuError* error) {
        if (m_lock.lock(kLockPath, ZoFileLock::EXCLUSIVE, -1) != 0) {
            EvDebug(nullptr).Debug(m_fn, "Unable to lock %s", kLockPath);
            assign(error, FXErrorUtil::ErrorErrNo(FX_LOCATION, EINVAL, "Unable to lock %s", kLockPath));
            return false;
        }
        int rc = m_host->readFile(kConfPath, text);
        if (rc == 0) rc = resolveTarget();
        if (rc != 0) {
            EvDebug(nullptr).Debug(m_fn, "Unable to open %s. error %d", kConfPath, rc);
            assign(error, FXErrorUtil::ErrorErrNo(FX_LOCATION, rc, "Unable to open %s", kConfPath));
            m_lock.unlock();
            return false;
        }
        const zo_mpconf::ConfReading reading = zo_mpconf::readConf(*text);
        std::string failed;
        if ((rc = zo_mpconf::readConfDirs(reading, others, &failed)) != 0) {
            EvDebug(nullptr).Debug(m_fn, "Unable to read %s. error %d", failed.c_str(), rc);
            assign(error, FXErrorUtil::ErrorErrNo(FX_LOCATION, rc, "Unable to read %s", failed.c_str()));
            m_lock.unlock();
            return false;
        }
        const std::string why = refusal(reading, *others);
        if (!why.empty()) return refuse(why, error);
        return true;
    }

    // Releases the lock and assigns "Unable to edit /etc/multipath.conf: why".
    bool refuse(const std::string& why, CLuError* error) {
        EvDebug(nullptr).Debug(m_fn, "Unable to edit %s: %s", kConfPath, why.c_str());
        assign(error, FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE, "Unable to edit %s: %s", kConfPath,
                                              why.c_str()));
        m_lock.unlock();
        return false;
    }

    // Writes lines to the temporary file and makes them durable. On failure
    // the temporary file is removed, the lock released and the error
    // assigned (partialMessage for a failed write, sync or close).
    bool write(const std::vector<std::string>& lines, const char* partialMessage,
               CLuError* error) {
        // A file left behind by a process that died holding the lock goes
        // first, so the new one is created afresh with mode 0600.
        m_host->unlink(m_temp);
        std::unique_ptr<ZoWritableFile> file;
        int rc = m_host->openForWrite(m_temp, 0600, &file);
        if (rc != 0) {
            EvDebug(nullptr).Debug(m_fn, "Unable to open %s. error %d", m_temp.c_str(), rc);
            abandon();
            assign(error, FXErrorUtil::ErrorErrNo(FX_LOCATION, rc, "Unable to open %s", kTempPath));
            return false;
        }
        for (const std::string& line : lines) {
            if ((rc = file->append(line)) != 0) break;
        }
        if (rc == 0) rc = file->sync();
        if (rc == 0) rc = file->close();
        if (rc != 0) {
            EvDebug(nullptr).Debug(m_fn, "Unable to write %s. error %d", m_temp.c_str(), rc);
            file.reset();
            abandon();
            assign(error, FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE, "%s", partialMessage));
            return false;
        }
        return true;
    }

    // Moves the written temporary file over the configuration file, runs
    // followUp while the lock is still held, and releases the lock. The
    // owner is copied first (a change of owner drops setuid and setgid bits
    // and file capabilities), then the extended attributes (an SELinux
    // label, an ACL, user attributes), then the mode. A failure to copy the
    // owner or mode is logged; one to copy an extended attribute leaves the
    // configuration file as it was (without its label multipathd may be
    // unable to read it). On a failed rename the configuration file is
    // unchanged, the temporary file removed, followUp skipped and the error
    // assigned.
    template <class F>
    bool replace(CLuError* error, F followUp) {
        struct stat st;
        int rc = m_host->stat(m_target, &st);
        if (rc == 0) rc = m_host->chown(m_temp, st.st_uid, st.st_gid);
        if (!copyXattrs(error)) return false;
        if (rc == 0) rc = m_host->chmod(m_temp, st.st_mode & 07777);
        if (rc != 0) {
            EvDebug(nullptr).Debug(m_fn, "Error setting attributes. error( %d:%s)", rc,
                                   std::strerror(rc));
        }
        rc = m_host->rename(m_temp, m_target);
        if (rc != 0) {
            EvDebug(nullptr).Debug(m_fn, "Rename %s to %s failed", m_temp.c_str(), m_target.c_str());
            abandon();
            assign(error, FXErrorUtil::ErrorErrNo(FX_LOCATION, rc, "Rename %s to %s failed",
                                                  m_temp.c_str(), m_target.c_str()));
            return false;
        }
        const std::string dir = m_target.substr(0, std::max<size_t>(m_target.rfind('/'), 1));
        rc = m_host->syncDir(dir);
        if (rc != 0) EvDebug(nullptr).Debug(m_fn, "Unable to sync %s. error %d", dir.c_str(), rc);
        followUp();
        m_host->unlink(m_temp);
        m_lock.unlock();
        return true;
    }

    // Gives the temporary file the extended attributes of the
    // configuration file. On failure the temporary file is removed, the lock
    // released and the error assigned.
    bool copyXattrs(CLuError* error) {
        std::vector<std::pair<std::string, std::string>> attrs;
        int rc = m_host->listXattrs(m_target, &attrs);
        std::string name;
        if (rc == ENOTSUP) rc = 0;  // the file system keeps none
        for (size_t i = 0; rc == 0 && i < attrs.size(); ++i) {
            name = attrs[i].first;
            rc = m_host->setXattr(m_temp, name, attrs[i].second);
        }
        if (rc == 0) return true;
        const std::string what = name.empty() ? "the extended attributes" : "the extended attribute " + name;
        EvDebug(nullptr).Debug(m_fn, "Unable to copy %s of %s to %s. error %d", what.c_str(), m_target.c_str(),
                               m_temp.c_str(), rc);
        abandon();
        assign(error, FXErrorUtil::ErrorErrNo(FX_LOCATION, rc, "Unable to copy %s of %s", what.c_str(),
                                              m_target.c_str()));
        return false;
    }

    // Drops the temporary file and releases the lock; the configuration
    // file is not touched.
    void abandon() {
        m_host->unlink(m_temp);
        m_lock.unlock();
    }

    // Releases the lock; nothing was written.
    void finish() { m_lock.unlock(); }

private:
    // Why the files cannot be edited ("" when they can): a layout
    // multipath-tools reads otherwise than the editor (an edit would land in
    // the wrong place, or an entry the editor finds would not be seen), or a
    // configuration file with several hard links, which replacing it by a
    // rename would split.
    std::string refusal(const zo_mpconf::ConfReading& main,
                        const std::vector<zo_mpconf::ConfFile>& others) {
        if (main.fault.line != 0) return main.fault.why;
        for (const zo_mpconf::ConfFile& f : others) {
            if (f.reading.fault.line != 0) return f.path + ": " + f.reading.fault.why;
        }
        struct stat st;
        if (m_host->lstat(m_target, &st) == 0 && st.st_nlink > 1)
            return m_target + " has " + std::to_string(st.st_nlink) +
                   " hard links, which replacing it would split";
        return "";
    }

    // Sets m_target to the file the configuration path names (symbolic
    // links followed) and m_temp beside it. Returns 0 or the errno value.
    int resolveTarget() {
        std::string path = kConfPath;
        for (int hops = 0; hops < 40; ++hops) {
            struct stat st;
            int rc = m_host->lstat(path, &st);
            if (rc != 0) return rc;
            if (!S_ISLNK(st.st_mode)) {
                m_target = path;
                m_temp = path == kConfPath ? std::string(kTempPath) : path + ".zo_temp";
                return 0;
            }
            std::string link;
            if ((rc = m_host->readlink(path, &link)) != 0) return rc;
            if (link.empty()) return EINVAL;
            path = link[0] == '/' ? link : path.substr(0, path.rfind('/') + 1) + link;
        }
        return ELOOP;
    }

    const char* m_fn;
    std::shared_ptr<ZoHost> m_host;
    ZoFileLock m_lock{false};
    std::string m_target = kConfPath;
    std::string m_temp = kTempPath;
};

std::string timestampNow() {
    const time_t now = ZoHost::current()->now();
    struct tm local = {};
    localtime_r(&now, &local);
    return zo_mpconf::formatTimestamp(local);
}

// Why an entry for wwid, the WWID of the disk at node, must not be written
// ("" when it may): it is no plain identifier, or multipath-tools knows the
// disk by another WWID, so that the entry would never match it.
std::string unwritable(const std::string& node, const std::string& wwid) {
    std::string why = zo_mpconf::plainWwidFault(wwid);
    if (!why.empty()) return why;
    const std::string theirs = multipathWwidOf(node);
    if (theirs.empty() || theirs == wwid) return "";
    return "multipath knows this disk as " + theirs + ", not by its WWID " + wwid +
           " (the first of its logical-unit NAA designators), so an entry for " + wwid + " would never match it";
}

// Pushes "Blacklist exception already exists for W" for every WWID of
// present and logs where multipath-tools reads it.
void pushPresent(const std::vector<std::string>& present, const std::vector<zo_mpconf::ConfFile>& others,
                 const char* fn, CLuError* error) {
    for (const std::string& w : present) {
        if (error) *error = error->Push(FX_LOCATION, "Blacklist exception already exists for %s", w.c_str());
        for (const zo_mpconf::ConfEntryAt& e : zo_mpconf::allEntries(others)) {
            if (e.entry.wwid == w && e.entry.kind == zo_mpconf::ConfEntry::EXCEPTION)
                EvDebug(nullptr).Debug(fn, "Blacklist exception for %s in %s line %d", w.c_str(),
                                       e.file->path.c_str(), e.entry.line);
        }
    }
}

// The first entry of a WWID of wwids in the files (nullptr: none).
const zo_mpconf::ConfEntryAt* firstEntry(const std::vector<zo_mpconf::ConfEntryAt>& entries,
                                         const std::vector<std::string>& wwids) {
    for (const zo_mpconf::ConfEntryAt& e : entries) {
        if (std::find(wwids.begin(), wwids.end(), e.entry.wwid) != wwids.end()) return &e;
    }
    return nullptr;
}

}  // namespace

std::string multipathWwidOf(const std::string& node) {
    std::shared_ptr<ZoHost> host = ZoHost::current();
    struct stat st;
    if (host->stat(node, &st) != 0 || !S_ISBLK(st.st_mode)) return "";
    std::map<std::string, std::string> properties;
    if (zo_udev::blockProperties(major(st.st_rdev), minor(st.st_rdev), &properties)) {
        auto it = properties.find("ID_SERIAL");
        if (it != properties.end() && !it->second.empty()) return it->second;
    }
    const std::string dir = "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" +
                            std::to_string(minor(st.st_rdev));
    std::string page;
    for (const char* place : {"/device/vpd_pg83", "/../device/vpd_pg83"}) {
        if (host->readFile(dir + place, &page, ZoHost::kAttributeBytes) == 0)
            return zo_identity::preferredNaaDesignator(page);
    }
    return "";
}

bool editingEnabled() {
    ZOPlatformInfo info;
    unsigned long value = 0;
    return info.getNumber("Ferrovane", "nConfigureBlacklistException", &value) != 0 && value != 0;
}

std::vector<std::string> collectWwids(const std::list<std::string>& paths, bool rejectMpio,
                                      CLuError* error) {
    const char* fn = rejectMpio ? kAddFn : kDelFn;
    std::vector<std::string> wwids;
    for (const std::string& path : paths) {
        CLuError local;
        SP<ZoDevice> device = ZoDeviceTree::getDevice(path.c_str(), &local);
        if (!device) {
            if (error) *error = error->Push(FX_LOCATION, "%s", local.AsString().c_str());
            continue;
        }
        if (rejectMpio && device->getType() == ZoDevice::MPIO_DISK) {
            if (error) *error = error->Push(FX_LOCATION, "%s is already a MPIO device", path.c_str());
            continue;
        }
        auto* info =
            static_cast<ZoDeviceDiskInfoIface*>(device->getInterface("ZoDeviceDiskInfoIface"));
        if (!info) {
            if (error) *error = error->Push(FX_LOCATION, "Unable to get DISKINFO interface");
            EvDebug(nullptr).Debug(fn, "Unable to get DISKINFO interface for %s",
                                   device->getDevicePath().c_str());
            continue;
        }
        std::string wwid;
        CLuError rc = info->GetDeviceWwid(device->getDevicePath(), wwid);
        if (rc.IsError()) {
            if (error) *error = error->Push(FX_LOCATION, "%s", rc.AsString().c_str());
            EvDebug(nullptr).Debug(fn, "GetDeviceWwid failed. %s", rc.AsString().c_str());
            continue;
        }
        if (!zo_mpconf::isSoundWwid(wwid)) {
            // Written into the file it would be an empty entry or break the
            // line; such a disk has no usable identifier.
            if (error) *error = error->Push(FX_LOCATION, "Unable to get scsi id");
            EvDebug(nullptr).Debug(fn, "GetDeviceWwid failed. %s: unusable wwid of %zu bytes",
                                   device->getDevicePath().c_str(), wwid.size());
            continue;
        }
        const std::string why = rejectMpio ? unwritable(device->getDevicePath(), wwid) : "";
        if (!why.empty()) {
            if (error) *error = error->Push(FX_LOCATION, "%s: %s; no entry is written for it", path.c_str(), why.c_str());
            EvDebug(nullptr).Debug(fn, "%s: %s", path.c_str(), why.c_str());
            continue;
        }
        EvDebug(nullptr).Debug(fn, "Device: %s. Wwid %s", device->getDevicePath().c_str(),
                               wwid.c_str());
        if (std::find(wwids.begin(), wwids.end(), wwid) == wwids.end()) wwids.push_back(wwid);
    }
    return wwids;
}

bool addWwids(const std::vector<std::string>& wwids, const char* function, CLuError* error) {
    Rewrite rewrite(function);
    std::string text;
    std::vector<zo_mpconf::ConfFile> others;
    if (!rewrite.open(&text, &others, error)) return false;
    zo_mpconf::ElsewhereEntries elsewhere;
    for (const zo_mpconf::ConfEntryAt& e : zo_mpconf::allEntries(others)) {
        (e.entry.kind == zo_mpconf::ConfEntry::EXCEPTION ? elsewhere.excepted : elsewhere.blocked)
            .push_back(e.entry.wwid);
    }
    zo_mpconf::AddPlan plan = zo_mpconf::planAdd(text, wwids, timestampNow(), elsewhere);
    pushPresent(plan.alreadyPresent, others, function, error);
    if (!plan.changed()) {
        rewrite.finish();
        return true;
    }
    if (!rewrite.write(plan.lines, "Partial write. Aborting", error)) return false;
    return rewrite.replace(error, [] { ZoMPIO().refreshMPIO(nullptr, nullptr); });
}

int delWwids(const std::vector<std::string>& wwids, const char* function, CLuError* error) {
    Rewrite rewrite(function);
    std::string text;
    std::vector<zo_mpconf::ConfFile> others;
    if (!rewrite.open(&text, &others, error)) return -1;
    // The editor changes /etc/multipath.conf alone: an entry another file
    // holds would stay in force after a removal that reports success.
    const std::vector<zo_mpconf::ConfEntryAt> entries = zo_mpconf::allEntries(others);
    if (const zo_mpconf::ConfEntryAt* e = firstEntry(entries, wwids)) {
        const bool exception = e->entry.kind == zo_mpconf::ConfEntry::EXCEPTION;
        rewrite.refuse(e->file->path + " line " + std::to_string(e->entry.line) + " holds " +
                           (exception ? "a blacklist exception" : "a multipath block") + " for " + e->entry.wwid +
                           ", and the editor changes " + kConfPath + " only: remove it there",
                       error);
        return -1;
    }
    zo_mpconf::RemovePlan plan = zo_mpconf::planRemove(text, wwids);
    if (!plan.keep()) {
        rewrite.abandon();
        assign(error, FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE,
                                              "One or more wwid(s) not found in %s", kConfPath));
        return -1;
    }
    if (!rewrite.write(plan.lines, "Error. Partial write", error)) return -1;
    return rewrite.replace(error, [] {}) ? 0 : -1;
}

}  // namespace zo_editor

std::list<SP<ZoDevice>> ZoDeviceTree::addMultipathBlacklistExceptions(
    std::list<std::string>& paths, CLuError* error) {
    std::list<SP<ZoDevice>> result;
    if (paths.empty()) return result;
    if (!zo_editor::editingEnabled()) {
        zo_editor::assign(error,
                          FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE,
                                                  "Registry key nConfigureBlacklistException not set."));
        return result;
    }
    std::vector<std::string> wwids = zo_editor::collectWwids(paths, true, error);
    if (wwids.empty()) return result;
    if (!zo_editor::addWwids(wwids, zo_editor::kAddFn, error)) return result;
    for (const std::string& path : paths) {
        SP<ZoDevice> parent = getParentDevice(path.c_str(), nullptr);
        if (parent && parent->getType() == ZoDevice::MPIO_DISK && parent->getDevicePath() != path) {
            result.push_back(parent);
        } else {
            result.push_back(SP<ZoDevice>());
        }
    }
    return result;
}

int ZoDeviceTree::delMultipathBlacklistExceptions(std::list<std::string>& paths, CLuError* error) {
    if (!zo_editor::editingEnabled()) {
        zo_editor::assign(error,
                          FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE,
                                                  "Registry key nConfigureBlacklistException not set."));
        return -1;
    }
    std::vector<std::string> wwids = zo_editor::collectWwids(paths, false, error);
    if (wwids.empty()) return -1;
    return zo_editor::delWwids(wwids, zo_editor::kDelFn, error);
}
