#include "disk_image.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace zotest {

std::string shellWord(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

void makeDiskImage(const std::string& realPath, unsigned sizeMiB, const std::string& sfdiskScript) {
    std::filesystem::create_directories(std::filesystem::path(realPath).parent_path());
    std::filesystem::remove(realPath);
    std::string command = "truncate -s " + std::to_string(sizeMiB) + "M " + shellWord(realPath);
    if (!sfdiskScript.empty())
        command += " && printf %s " + shellWord(sfdiskScript) + " | sfdisk --quiet --no-reread --no-tell-kernel " +
                   shellWord(realPath);
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
