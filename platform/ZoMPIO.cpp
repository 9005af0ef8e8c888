// PLACEHOLDER: replaced by the multipath facade.
#include "ZoMPIO.h"
#include "../src/ZoPlaceholder.h"
ZoMPIO::ZoMPIO() : m_log(nullptr) {}
ZoMPIO::~ZoMPIO() = default;
int ZoMPIO::isMPIODevice(const char*, CLuError*) { return 0; }
int ZoMPIO::isMPIODevice(const std::string&, CLuError*) { return 0; }
std::list<std::string> ZoMPIO::getMPIODevices(MPIOVendor_Context*, CLuError*) { return {}; }
std::list<std::string> ZoMPIO::getUnderlyingDevices(MPIOVendor_Context*, const char*, CLuError*) { return {}; }
int ZoMPIO::setFailIfNoPathDevice(MPIOVendor_Context*, const std::string&, CLuError*) { ZO_PLACEHOLDER(); }
int ZoMPIO::getPartitionDevices(MPIOVendor_Context*, const std::string&, std::list<ZoPartInfo>&, bool, CLuError*) { ZO_PLACEHOLDER(); }
bool ZoMPIO::isPartitionDevice(MPIOVendor_Context*, const std::string&, std::string&, CLuError*) { ZO_PLACEHOLDER(); }
int ZoMPIO::refreshMPIO(MPIOVendor_Context*, CLuError*) { ZO_PLACEHOLDER(); }
