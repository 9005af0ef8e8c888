// SPDX-License-Identifier: LGPL-2.1-or-later
// zodisk: shared pieces of the command-line tool.
//
// Every command is one row of the command table (main.cpp), used both to
// build the parser with its help texts and to dispatch. A command reads its
// arguments from Options and writes through the Output it is given; it
// returns the process exit status.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace zodisk {

// Exit statuses.
// The last two are lsblk's for commands given device names: some of them
// were not found (SOME_FOUND), or none was (NONE_FOUND). A usage error is 2,
// where lsblk says 1: zodisk's 1 is a failed operation, or check's "needs
// attention", which a mistyped command line must not look like.
enum ExitStatus {
    EXIT_OK = 0,
    EXIT_FAILED = 1,
    EXIT_USAGE = 2,
    EXIT_NONE_FOUND = 32,
    EXIT_SOME_FOUND = 64
};

// Everything the command line can set.
struct Options {
    std::string sysroot;
    bool json = false;
    int verbose = 0;
    unsigned timeout = 0;             // --timeout SECONDS for device I/O; 0: the library's
    // Output control of list, tree and show (columns.h).
    std::string columns;              // -o LIST ("+LIST" adds to the defaults)
    bool columnsGiven = false;        // -o was given (its LIST may be empty)
    bool allColumns = false;          // -O
    bool all = false;                 // -a: empty devices and RAM disks too
    bool noHeadings = false;          // -n
    bool raw = false;                 // -r
    bool pairs = false;               // -P
    bool bytes = false;               // -b
    bool ascii = false;               // -i
    std::string kind;                 // list --kind
    bool reread = false;              // show --reread
    std::vector<std::string> paths;   // list, tree, show, wwid, multipath add/remove
    bool dryRun = false;              // multipath add/remove --dry-run
    bool force = false;               // multipath remove --force
    std::string name;                 // nvme-volume, nvme-device, xvd-to-sd, sd-to-xvd
    std::string dir;                  // snapshot
    std::string before, after;        // diff BEFORE AFTER
    bool live = false;                // diff --live
    std::string textfile;             // metrics --textfile FILE
};

class Output;

// One command: its name (and the name of the command it belongs to, for
// "multipath add"), its one-line summary, how it adds its arguments to its
// parser, and what it runs.
struct Command {
    const char* parent;   // nullptr for a top-level command
    const char* name;
    const char* summary;
    void (*setup)(CLI::App& app, Options& opts);
    int (*run)(const Options& opts, Output& out);
};

// The command table.
const std::vector<Command>& commands();

// Commands (cmd_*.cpp, snapshot.cpp).
int runList(const Options& opts, Output& out);
int runShow(const Options& opts, Output& out);
int runTree(const Options& opts, Output& out);
int runCheck(const Options& opts, Output& out);
int runPorts(const Options& opts, Output& out);
int runWwid(const Options& opts, Output& out);
// PATH... (one or more device paths, required).
void pathsArg(CLI::App& app, Options& opts);
// PATH... and --dry-run of multipath add and remove.
void editArgs(CLI::App& app, Options& opts);
// And --force of multipath remove.
void removeArgs(CLI::App& app, Options& opts);
int runMultipathAdd(const Options& opts, Output& out);
int runMultipathRemove(const Options& opts, Output& out);
int runNvmeVolume(const Options& opts, Output& out);
int runNvmeDevice(const Options& opts, Output& out);
int runXvdToSd(const Options& opts, Output& out);
int runSdToXvd(const Options& opts, Output& out);
int runSnapshot(const Options& opts, Output& out);
// BEFORE, AFTER and --live of diff; --textfile of metrics.
void diffArgs(CLI::App& app, Options& opts);
int runDiff(const Options& opts, Output& out);
int runWatch(const Options& opts, Output& out);
void metricsArgs(CLI::App& app, Options& opts);
int runMetrics(const Options& opts, Output& out);

}  // namespace zodisk
