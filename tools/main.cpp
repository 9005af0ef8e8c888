// SPDX-License-Identifier: LGPL-2.1-or-later
// zodisk: the disks the zodevice library sees, for people and programs.
#include "columns.h"
#include "host_tree_check.h"
#include "output.h"
#include "udev_watch.h"
#include "verbosity.h"
#include "zodisk.h"

#include "EvDebug.h"
#include "ZoDeviceTree.h"
#include "ZoException.h"
#include "ZoHost.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <sstream>

namespace zodisk {

void pathsArg(CLI::App& app, Options& opts) {
    app.add_option("PATH", opts.paths, "device paths, e.g. /dev/sdb /dev/mapper/mpatha")
        ->required()
        ->type_name("");
}

namespace {

void noArgs(CLI::App&, Options&) {}

void listArgs(CLI::App& app, Options& opts) {
    app.add_option("--kind", opts.kind,
                   "only devices of this kind: scsi, mpath, xvd, nvme or other")
        ->check(CLI::Validator(CLI::IsMember({"scsi", "mpath", "xvd", "nvme", "other"}))
                    .description(""))
        ->type_name("KIND");
    app.add_option("DEVICE", opts.paths, "only these devices (paths or names)")->type_name("");
}

void treeArgs(CLI::App& app, Options& opts) {
    app.add_option("DEVICE", opts.paths, "only the trees below these devices")->type_name("");
}

void showArgs(CLI::App& app, Options& opts) {
    app.add_option("DEVICE", opts.paths, "device paths or names, e.g. /dev/sdb mpatha")
        ->required()
        ->type_name("");
    app.add_flag("--reread", opts.reread,
                 "also run the library's partition discovery, which asks the kernel to\n"
                 "re-read the partition table and waits for udev");
}

void pathArg(CLI::App& app, Options& opts) {
    app.add_option("PATH", opts.name, "NVMe device path, e.g. /dev/nvme1n1")
        ->required()
        ->type_name("");
}

void volumeArg(CLI::App& app, Options& opts) {
    app.add_option("VOLUME", opts.name, "volume id exactly as the serial shows it, e.g. vol0abc")
        ->required()
        ->type_name("");
}

void xvdArg(CLI::App& app, Options& opts) {
    app.add_option("NAME", opts.name, "xvd name or path, e.g. xvdf or /dev/xvdf")
        ->required()
        ->type_name("");
}

void sdArg(CLI::App& app, Options& opts) {
    app.add_option("NAME", opts.name, "sd name or path, e.g. sdb or /dev/sdb")
        ->required()
        ->type_name("");
}

void dirArg(CLI::App& app, Options& opts) {
    app.add_option("DIR", opts.dir, "new or empty directory for the host tree (created if missing)")
        ->required()
        ->type_name("");
}

const char kFooter[] =
    "Exit status: 0 success, 1 a device or operation failed (check: something\n"
    "needs attention), 2 usage error; with device names, 32 none of them found,\n"
    "64 some not found. See zodisk(8).";
// Commands take the global options too, before or after their name.
const char kCommandFooter[] =
    "Global options: --sysroot DIR, -o LIST, -O, -n, -r, -P, -J, -b, -i,\n"
    "--timeout SECONDS, -v (see 'zodisk --help').\n"
    "Exit status: 0 success, 1 a device or operation failed (check: something\n"
    "needs attention), 2 usage error; with device names, 32 none of them found,\n"
    "64 some not found. See zodisk(8).";

std::string columnHelp() {
    std::string s = "columns to print, comma-separated (+LIST adds to the\ndefaults):";
    size_t width = 80;
    for (const Column& c : allColumns()) {
        if (width + std::strlen(c.name) > 52) {
            s += "\n ";
            width = 0;
        }
        s += std::string(" ") + c.name;
        width += std::strlen(c.name) + 1;
    }
    return s;
}

}  // namespace

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {nullptr, "list", "every block device, a line each (or those named)", listArgs, runList},
        {nullptr, "tree", "devices nested: maps and NVMe namespaces with their paths, disks\nwith their partitions",
         treeArgs, runTree},
        {nullptr, "show", "everything known about each device, a map's path states included",
         showArgs, runShow},
        {nullptr, "check", "report what needs attention in this host's multipathing", noArgs,
         runCheck},
        {nullptr, "ports", "the fabric: FC ports, iSCSI sessions and NVMe controllers, each\n"
                           "with its state, its remote end and the disks it carries",
         noArgs, runPorts},
        {nullptr, "wwid", "print the WWID of each PATH, one a line", pathsArg, runWwid},
        {nullptr, "multipath", "edit /etc/multipath.conf (add or remove disks)", noArgs, nullptr},
        {"multipath", "add", "put the disks at PATH... under multipath control", editArgs,
         runMultipathAdd},
        {"multipath", "remove", "take the disks at PATH... out of multipath control", removeArgs,
         runMultipathRemove},
        {nullptr, "nvme-volume", "print the cloud volume id of an NVMe device", pathArg,
         runNvmeVolume},
        {nullptr, "nvme-device", "print the NVMe device that carries a volume id", volumeArg,
         runNvmeDevice},
        {nullptr, "xvd-to-sd", "convert a Xen xvd name to its sd name", xvdArg, runXvdToSd},
        {nullptr, "sd-to-xvd", "convert an sd name to its Xen xvd name", sdArg, runSdToXvd},
        {nullptr, "snapshot", "capture this machine's devices into a host tree in DIR", dirArg,
         runSnapshot},
        {nullptr, "diff", "what changed between two captures, or a capture and now", diffArgs,
         runDiff},
        {nullptr, "watch", "print each change of the host's maps and disks as it happens", noArgs,
         runWatch},
        {nullptr, "metrics", "the host's multipathing for Prometheus (node_exporter's textfile)",
         metricsArgs, runMetrics},
    };
    return table;
}

namespace {

CLI::App* subcommandOf(CLI::App& app, const Command& c) {
    CLI::App* parent = c.parent ? app.get_subcommand(c.parent) : &app;
    return parent->get_subcommand(c.name);
}

int runSelected(CLI::App& app, const Options& opts, Output& out) {
    for (const Command& c : commands())
        if (c.run && subcommandOf(app, c)->parsed())
            return c.run(opts, out);
    Output::error("no command given; see 'zodisk --help'");
    return EXIT_USAGE;
}

// "a command is required" or "unknown ... command", naming the valid ones,
// when the command given needs one of its own.
std::string missingCommand(CLI::App& app, const std::vector<std::string>& rest) {
    for (const Command& parent : commands()) {
        if (parent.run || !subcommandOf(app, parent)->parsed())
            continue;
        std::string valid;
        for (const Command& c : commands())
            if (c.parent && std::strcmp(c.parent, parent.name) == 0)
                valid += (valid.empty() ? "" : ", ") + std::string(c.name);
        std::string first = rest.empty() ? "" : rest.front();
        return (first.empty() ? std::string("a ") + parent.name + " command is required"
                              : "unknown " + std::string(parent.name) + " command '" + first + "'") +
               " (one of: " + valid + "); see 'zodisk " + parent.name + " --help'";
    }
    return "a command is required; see 'zodisk --help'";
}

// --timeout: whole seconds, at least one, at most a day.
std::string timeoutError(const std::string& value) {
    if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos)
        return "'" + value + "' is not a whole number of seconds (1 to 86400)";
    if (value.size() > 5 || std::stoul(value) == 0 || std::stoul(value) > 86400)
        return value + " seconds is out of range (1 to 86400)";
    return "";
}

void addGlobalOptions(CLI::App& app, Options& opts) {
    app.add_option("--sysroot", opts.sysroot,
                   "answer from the host tree in DIR (a capture made with\n"
                   "'zodisk snapshot') instead of this machine")
        ->check(CLI::Validator(CLI::ExistingDirectory).description(""))
        ->type_name("DIR");
    app.add_option_function<std::string>(
           "-o,--output",
           [&opts](const std::string& list) {
               opts.columns = list;
               opts.columnsGiven = true;
           },
           columnHelp())
        ->type_name("LIST");
    app.add_flag("-O,--output-all", opts.allColumns, "print every column");
    app.add_flag("-a,--all", opts.all, "also list empty devices and RAM disks");
    app.add_flag("-n,--noheadings", opts.noHeadings, "print no header line");
    app.add_flag("-r,--raw", opts.raw, "values separated by one blank, unaligned");
    app.add_flag("-P,--pairs", opts.pairs, "values as KEY=\"value\" pairs");
    app.add_flag("-J,--json", opts.json, "print JSON");
    app.add_flag("-b,--bytes", opts.bytes, "sizes in bytes");
    app.add_flag("-i,--ascii", opts.ascii, "tree lines in ASCII (also when the locale is\nnot UTF-8)");
    app.add_option("--timeout", opts.timeout,
                   "wait at most SECONDS for a device that is asked\n"
                   "directly (wwid, multipath add/remove)")
        ->check(CLI::Validator(timeoutError, ""))
        ->type_name("SECONDS");
    app.add_flag("-v,--verbose", opts.verbose, "log detail to standard error (repeat for more)");
    app.set_version_flag("--version", "zodisk " ZODISK_VERSION, "print the version and exit");
}

// Help or version: their text on standard output, the exit status.
int answer(CLI::App& app, const CLI::Error& e) {
    std::ostringstream out, err;
    const int rc = app.exit(e, out, err);
    std::cerr << err.str();
    if (!writeStdout(out.str()))
        return EXIT_FAILED;
    return rc == 0 ? EXIT_OK : EXIT_USAGE;
}

// Parses the command line into opts. Returns -1 when a command is to run,
// otherwise the exit status (help, version, a usage error).
int parse(CLI::App& app, Options& opts, int argc, char** argv) {
    try {
        app.parse(argc, argv);
        return -1;
    } catch (const CLI::CallForHelp& e) {
        return answer(app, e);
    } catch (const CLI::CallForAllHelp& e) {
        return answer(app, e);
    } catch (const CLI::CallForVersion& e) {
        return answer(app, e);
    } catch (const CLI::ParseError& e) {
        std::vector<std::string> rest = app.remaining();
        const std::string first = rest.empty() ? "" : rest.front();
        const bool option = first.size() > 1 && first[0] == '-';
        if (option && (app.get_subcommands().empty() || dynamic_cast<const CLI::ExtrasError*>(&e)))
            Output::error("unknown option '" + first + "'; see 'zodisk --help'");
        else if (app.get_subcommands().empty() && !rest.empty())
            Output::error("unknown command '" + first + "'; see 'zodisk --help'");
        else if (std::string(e.what()).rfind("A subcommand is required", 0) == 0)
            Output::error(missingCommand(app, rest));
        else
            Output::error(std::string(e.what()) + "; see 'zodisk --help'");
        return EXIT_USAGE;
    }
}

// Points the library at the host tree, if one was given. Returns false when
// the tree cannot stand for a machine.
bool useSysroot(const std::string& dir) {
    if (dir.empty())
        return true;
    ZoHost::setRoot(dir);
    HostTreeFaults faults = checkHostTree(dir);
    for (const std::string& w : faults.warnings)
        Output::error("warning: " + w);
    if (!faults.fatal.empty())
        Output::error(faults.fatal);
    return faults.fatal.empty();
}

// Runs the command chosen; the exit status.
int run(CLI::App& app, const Options& opts, Output& out) {
    setVerbosity(opts.verbose);
    if (!useSysroot(opts.sysroot))
        return EXIT_FAILED;
    if (opts.timeout > 0)
        ZoDeviceTree::setCommandTimeout(opts.timeout);
    if (opts.raw + opts.pairs + opts.json > 1) {
        Output::error("choose one of -r, -P and -J; see 'zodisk --help'");
        return EXIT_USAGE;
    }
    if (opts.sysroot.empty())
        startUdevWatch();
    try {
        return runSelected(app, opts, out);
    } catch (const ZoException& e) {
        Output::error(e.getMessage());
    } catch (const std::exception& e) {
        Output::error(e.what());
    }
    return EXIT_FAILED;
}

int main(int argc, char** argv) {
    Options opts;
    CLI::App app{"Shows the disks the zodevice library sees: SCSI disks, multipath maps,\n"
                 "Xen virtual disks and NVMe namespaces.",
                 "zodisk"};
    app.footer(kFooter);
    app.require_subcommand(1);
    app.get_formatter()->label("SUBCOMMAND", "COMMAND");
    app.set_help_flag("-h,--help", "print this help and exit");
    addGlobalOptions(app, opts);
    for (const Command& c : commands()) {
        CLI::App* parent = c.parent ? app.get_subcommand(c.parent) : &app;
        CLI::App* sub = parent->add_subcommand(c.name, c.summary);
        sub->fallthrough();
        sub->group("Commands");
        sub->footer(kCommandFooter);
        c.setup(*sub, opts);
        if (!c.run)
            sub->require_subcommand(1);
    }

    int status = parse(app, opts, argc, argv);
    if (status >= 0)
        return status;
    Output out;
    if (!out.takeOverStdout()) {
        Output::error("cannot set up standard output");
        return EXIT_FAILED;
    }
    status = run(app, opts, out);
    // Output that did not reach standard output (a full disk, a closed
    // pipe's reader gone) is a failure, whatever the command said.
    return out.close() ? status : EXIT_FAILED;
}

}  // namespace

}  // namespace zodisk

int main(int argc, char** argv) {
    return zodisk::main(argc, argv);
}
