#include "disk_image.h"

#include "FXString.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace zotest {

void makeDiskImage(const std::string& realPath, unsigned sizeMiB, const std::string& sfdiskScript) {
    std::filesystem::create_directories(std::filesystem::path(realPath).parent_path());
    std::filesystem::remove(realPath);
    std::string command = "truncate -s " + std::to_string(sizeMiB) + "M " + FXString::ShellQuote(realPath);
    if (!sfdiskScript.empty())
        command += " && printf %s " + FXString::ShellQuote(sfdiskScript) + " | sfdisk --quiet --no-reread --no-tell-kernel " +
                   FXString::ShellQuote(realPath);
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

ZoDevicePartIface* partIface(const SP<ZoDevice>& dev) {
    return static_cast<ZoDevicePartIface*>(dev->getInterface("ZoDevicePartIface"));
}

std::string describeParts(const std::list<ZoPartInfo>& parts) {
    std::ostringstream os;
    for (const ZoPartInfo& p : parts)
        os << p.partName << " " << p.partNumber << " " << p.major << ":" << p.minor << " " << p.startSector << "+"
           << p.numSectors << " " << p.sectorSize << "; ";
    return os.str();
}

}  // namespace zotest
