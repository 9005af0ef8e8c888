// SPDX-License-Identifier: LGPL-2.1-or-later
// The columns of list, tree and show, and the four ways of printing them as
// lsblk prints its own: an aligned table (a tree in its first column for
// tree), raw (values separated by one blank), KEY="value" pairs, and JSON.
// Every value comes from the host inventory; nothing here touches a device.
#pragma once

#include "output.h"

#include "ZoHostInventory.h"

#include <string>
#include <vector>

namespace zodisk {

struct Options;

// How values are written.
struct ValueStyle {
    bool bytes = false;      // SIZE as a number of bytes
    bool parsable = false;   // raw, pairs and JSON: MAJ:MIN without padding
};

struct Column {
    const char* name;   // header, -o name and (lowercased) JSON key: "MAJ:MIN"
    const char* help;
    bool right;         // right-aligned in the table
    // The value of the device at index: a string, a boolean, a number, an
    // array of strings, or null when the device has none.
    Json (*value)(const ZoHostInventory& inv, size_t index, const ValueStyle& style);
    // The inventory facts (ZoInventoryOptions::Fact bits) the value needs.
    unsigned facts = 0;
    // The value of an NVMe path device (an index into the fabric's
    // nvmePaths) in a tree; null for a column without one.
    Json (*pathValue)(const ZoHostInventory& inv, size_t path, const ValueStyle& style) = nullptr;
};

// Every column, in the order -O prints them.
const std::vector<Column>& allColumns();
// The column with this name (any letter case), or null.
const Column* findColumn(const std::string& name);
std::string jsonKey(const Column& c);

// The value of a column as text, unescaped: null is "", a boolean 0 or 1,
// an array its elements joined by "; ".
std::string textOf(const Json& value);

// Where control characters and the like are written as \xHH.
enum class Escape {
    Table,   // control characters; bytes above 0x7f unless utf8 and well formed
    Raw,     // also blanks, backslashes and every byte above 0x7f
    Pairs,   // also double quotes, backslashes and every byte above 0x7f
};
std::string escape(const std::string& s, Escape how, bool utf8);

// A device in its place in the output, with what is printed below it; or,
// with nvmePath set, an NVMe path device of the namespace at index.
struct Node {
    size_t index;
    std::vector<Node> children;
    size_t nvmePath = ZoFabric::npos;
};

// The format the options chose.
struct Printer {
    enum Mode { TABLE, RAW, PAIRS, JSON } mode = TABLE;
    bool headings = true;
    bool utf8 = true;        // the locale is UTF-8: its characters are printed as they are
    bool asciiTree = false;  // tree lines in ASCII
    ValueStyle style;
    std::vector<const Column*> columns;

    // From -o/-O/-r/-P/-J/-n/-b/-i, with defaults when no -o is given (JSON
    // without -o prints every column). Returns false and sets *error for an
    // unknown column name.
    bool configure(const Options& opts, const std::vector<const char*>& defaults,
                   std::string* error);
    // The table, raw or pairs text of the nodes; the table draws the tree in
    // its first column.
    std::string text(const ZoHostInventory& inv, const std::vector<Node>& nodes) const;
    // Writes {"blockdevices": [...]}, children nested as "children", in the
    // text Output::json prints.
    void writeJson(const ZoHostInventory& inv, const std::vector<Node>& nodes, Output& out) const;
    // One device as a JSON object of every chosen column.
    Json object(const ZoHostInventory& inv, size_t index) const;
    // The inventory facts the chosen columns need.
    unsigned facts() const;
    // The value of column c for the node.
    Json cell(const ZoHostInventory& inv, const Node& n, const Column& c) const;
};

// Reads the inventory of the current host with the facts asked for
// (ZoInventoryOptions::Fact bits). On failure prints the error and returns
// false.
bool readInventory(ZoHostInventory* inv, unsigned facts = ZoInventoryOptions::ALL_FACTS);
// The device a name given on the command line names (a path, or a bare
// kernel or device-mapper name), or npos with *why set to "no such device",
// "not a block device" or the like.
size_t findNamed(const ZoHostInventory& inv, const std::string& name, std::string* why);
// The exit status for named devices of which `missing` of `named` were not
// found: 0, EXIT_SOME_FOUND or EXIT_NONE_FOUND.
int namedStatus(size_t named, size_t missing);

// Facts about a device used by several commands.
std::string kindOf(const ZoBlockDevice& d);   // "scsi", "mpath", "xvd", "nvme" or "other"
bool isMap(const ZoBlockDevice& d);           // a multipath map
// What the device is, in words: "a SCSI disk", "a multipath map", "an NVMe
// namespace", "a Xen virtual disk", "a virtio_blk disk", "a loop device".
std::string deviceInWords(const ZoBlockDevice& d);
// The multipath map a device belongs to: itself, the map holding this path,
// or the map this partition map is on; npos when none.
size_t mapFor(const ZoHostInventory& inv, size_t index);
// The entry of a path in its map's state, or null.
const ZoMapPath* pathEntry(const ZoHostInventory& inv, size_t index);
// The NVMe controller of a path, or null.
const ZoNvmeController* controllerOf(const ZoHostInventory& inv, size_t path);
// Where an NVMe controller's connection goes: "traddr:trsvcid" (the address
// in brackets when it holds ':'), the PCI address for PCIe, "" when unknown.
std::string portalOf(const ZoNvmeController& c);
// The paths of a namespace with several controllers (a multipath
// namespace), none for any other device.
std::vector<size_t> headPaths(const ZoHostInventory& inv, size_t index);
// A map's path group by number, or null.
const ZoMapGroup* groupOf(const ZoMapState& map, int number);
// lsblk's human-readable size: "64M", "1.5G", "512B".
std::string humanSize(uint64_t bytes);

}  // namespace zodisk
