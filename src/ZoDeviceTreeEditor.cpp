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

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

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

    // Takes the lock, reads the configuration file into text and checks
    // that its braces balance. On failure the error is assigned and nothing
    // is held.
    bool open(std::string* text, CLuError* error) {
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
        // An edit of a file whose braces do not balance would land inside
        // the wrong section.
        const zo_mpconf::BraceFault fault = zo_mpconf::findBraceFault(*text);
        if (fault.line != 0) {
            const std::string why =
                fault.unclosed ? FXString::Format("the section opened on line %d is not closed", fault.line)
                               : FXString::Format("the '}' on line %d closes no section", fault.line);
            EvDebug(nullptr).Debug(m_fn, "Unable to edit %s: %s", kConfPath, why.c_str());
            assign(error, FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE, "Unable to edit %s: %s",
                                                  kConfPath, why.c_str()));
            m_lock.unlock();
            return false;
        }
        return true;
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
    // owner is copied before the mode, so that setuid and setgid bits
    // survive. On a failed rename the configuration file is unchanged, the
    // temporary file removed, followUp skipped and the error assigned.
    template <class F>
    bool replace(CLuError* error, F followUp) {
        struct stat st;
        int rc = m_host->stat(m_target, &st);
        if (rc == 0) rc = m_host->chown(m_temp, st.st_uid, st.st_gid);
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

    // Drops the temporary file and releases the lock; the configuration
    // file is not touched.
    void abandon() {
        m_host->unlink(m_temp);
        m_lock.unlock();
    }

    // Releases the lock; nothing was written.
    void finish() { m_lock.unlock(); }

private:
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

}  // namespace

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
        EvDebug(nullptr).Debug(fn, "Device: %s. Wwid %s", device->getDevicePath().c_str(),
                               wwid.c_str());
        if (std::find(wwids.begin(), wwids.end(), wwid) == wwids.end()) wwids.push_back(wwid);
    }
    return wwids;
}

bool addWwids(const std::vector<std::string>& wwids, const char* function, CLuError* error) {
    Rewrite rewrite(function);
    std::string text;
    if (!rewrite.open(&text, error)) return false;
    zo_mpconf::AddPlan plan = zo_mpconf::planAdd(text, wwids, timestampNow());
    for (const std::string& w : plan.alreadyPresent) {
        if (error)
            *error = error->Push(FX_LOCATION, "Blacklist exception already exists for %s", w.c_str());
    }
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
    if (!rewrite.open(&text, error)) return -1;
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
