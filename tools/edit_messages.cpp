// SPDX-License-Identifier: LGPL-2.1-or-later
#include "edit_messages.h"

#include "columns.h"

#include "ZoHost.h"
#include "ZoMultipathConf.h"

#include <deque>
#include <set>

namespace zodisk {

namespace {

const char kNoDevice[] = "Failed to get a ZoDevice Instance for ";
const char kNoDiskInfo[] = "Unable to get DISKINFO interface";
const char kNotInFile[] = "One or more wwid(s) not found in /etc/multipath.conf";
const char kConf[] = "/etc/multipath.conf";

bool hasWwidToEdit(const ZoBlockDevice& d) {
    return d.kind == ZoDevice::SCSI_DISK || d.kind == ZoDevice::MPIO_DISK;
}

// Every WWID the file names in a blacklist exception or a multipath block.
std::set<std::string> wwidsInConf() {
    std::set<std::string> found;
    std::string text;
    if (ZoHost::current()->readFile(kConf, &text) != 0)
        return found;
    zo_mpconf::SectionTracker tracker;
    for (std::string_view line : zo_mpconf::splitLines(text)) {
        zo_mpconf::LineView v = tracker.next(line);
        found.insert(v.exceptionWwids.begin(), v.exceptionWwids.end());
        found.insert(v.blockWwids.begin(), v.blockWwids.end());
    }
    return found;
}

class Explainer {
public:
    explicit Explainer(const std::vector<std::string>& paths) : m_paths(paths) {
        ZoInventoryOptions options;
        options.facts = ZoInventoryOptions::IDENTITY;
        ZoResult<ZoHostInventory> read = ZoHostInventory::read(options);
        m_known = read.ok();
        if (m_known)
            m_inv = std::move(*read);
        // The paths the library finds without an identity interface, in
        // the order it reports them.
        for (const std::string& p : paths) {
            size_t i = find(p);
            if (i != ZoBlockDevice::npos && m_inv.at(i).kind != ZoDevice::NONE &&
                !hasWwidToEdit(m_inv.at(i)))
                m_noDiskInfo.push_back(p);
        }
    }

    std::string explain(const std::string& error) {
        if (!m_known)
            return error;
        if (error.rfind(kNoDevice, 0) == 0)
            return noDevice(error.substr(sizeof kNoDevice - 1), error);
        if (error == kNoDiskInfo && !m_noDiskInfo.empty()) {
            const std::string path = m_noDiskInfo.front();
            m_noDiskInfo.pop_front();
            return path + " is " + deviceInWords(m_inv.at(find(path))) +
                   "; only SCSI disks and multipath maps have a WWID the editor can use (" +
                   error + ")";
        }
        if (error == kNotInFile)
            return notInFile(error);
        return error;
    }

private:
    size_t find(const std::string& path) const {
        std::string why;
        return findNamed(m_inv, path, &why);
    }

    std::string noDevice(const std::string& path, const std::string& error) const {
        std::string why;
        size_t i = findNamed(m_inv, path, &why);
        if (i == ZoBlockDevice::npos)
            return path + ": " + why + " (" + error + ")";
        const ZoBlockDevice& d = m_inv.at(i);
        return path + " is " + deviceInWords(d) +
               (d.unclaimedReason.empty() ? "" : " (" + d.unclaimedReason + ")") +
               "; the editor works on SCSI disks and multipath maps (" + error + ")";
    }

    // Which of the paths' WWIDs the file does not name at all.
    std::string notInFile(const std::string& error) const {
        const std::set<std::string> named = wwidsInConf();
        std::string missing;
        for (const std::string& p : m_paths) {
            size_t i = find(p);
            if (i == ZoBlockDevice::npos || !hasWwidToEdit(m_inv.at(i)))
                continue;
            const std::string& wwid = m_inv.at(i).wwid;
            if (!wwid.empty() && !named.count(wwid))
                missing += (missing.empty() ? "" : ", ") + p + " (" + wwid + ")";
        }
        if (missing.empty())
            return error;
        return std::string(kConf) + " has no blacklist exception or multipath block for " +
               missing + "; nothing was removed (" + error + ")";
    }

    const std::vector<std::string>& m_paths;
    ZoHostInventory m_inv;
    bool m_known = false;
    std::deque<std::string> m_noDiskInfo;
};

}  // namespace

std::vector<std::string> explainEditErrors(const std::vector<std::string>& paths,
                                           const std::vector<std::string>& errors) {
    if (errors.empty())
        return errors;
    Explainer e(paths);
    std::vector<std::string> out;
    for (const std::string& error : errors)
        out.push_back(e.explain(error));
    return out;
}

}  // namespace zodisk
