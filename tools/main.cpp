// zodisk: the disks the zodevice library sees, for people and programs.
#include "output.h"
#include "udev_watch.h"
#include "zodisk.h"

#include "EvDebug.h"
#include "ZoException.h"
#include "ZoHost.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <iostream>

namespace zodisk {

namespace {

void noArgs(CLI::App&, Options&) {}

void kindOption(CLI::App& app, Options& opts) {
    app.add_option("--kind", opts.kind, "only devices of this kind: scsi, mpath, xvd or nvme")
        ->check(CLI::Validator(CLI::IsMember({"scsi", "mpath", "xvd", "nvme"})).description(""))
        ->type_name("KIND");
}

void pathsArg(CLI::App& app, Options& opts) {
    app.add_option("PATH", opts.paths, "device paths, e.g. /dev/sdb /dev/mapper/mpatha")
        ->required()
        ->type_name("");
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
    "Exit status: 0 success, 1 a device or operation failed, 2 usage error.\n"
    "See zodisk(8).";
// Commands take the global options too, before or after their name.
const char kCommandFooter[] =
    "Global options: --sysroot DIR, -J/--json, -v (see 'zodisk --help').\n"
    "Exit status: 0 success, 1 a device or operation failed, 2 usage error.\n"
    "See zodisk(8).";

}  // namespace

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {nullptr, "list", "list the devices of every kind (or of one --kind)", kindOption,
         runList},
        {nullptr, "show", "show everything known about each PATH", pathsArg, runShow},
        {nullptr, "tree", "all devices nested: maps with their paths, disks with their partitions",
         noArgs, runTree},
        {nullptr, "wwid", "print the WWID of each PATH, one a line", pathsArg, runWwid},
        {nullptr, "multipath", "edit /etc/multipath.conf (add or remove disks)", noArgs, nullptr},
        {"multipath", "add", "put the disks at PATH... under multipath control", pathsArg,
         runMultipathAdd},
        {"multipath", "remove", "take the disks at PATH... out of multipath control", pathsArg,
         runMultipathRemove},
        {nullptr, "nvme-volume", "print the cloud volume id of an NVMe device", pathArg,
         runNvmeVolume},
        {nullptr, "nvme-device", "print the NVMe device that carries a volume id", volumeArg,
         runNvmeDevice},
        {nullptr, "xvd-to-sd", "convert a Xen xvd name to its sd name", xvdArg, runXvdToSd},
        {nullptr, "sd-to-xvd", "convert an sd name to its Xen xvd name", sdArg, runSdToXvd},
        {nullptr, "snapshot", "capture this machine's devices into a host tree in DIR", dirArg,
         runSnapshot},
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

int main(int argc, char** argv) {
    Options opts;
    CLI::App app{"Shows the disks the zodevice library sees: SCSI disks, multipath maps,\n"
                 "Xen virtual disks and NVMe namespaces.",
                 "zodisk"};
    app.footer(kFooter);
    app.require_subcommand(1);
    app.get_formatter()->label("SUBCOMMAND", "COMMAND");
    app.set_help_flag("-h,--help", "print this help and exit");
    app.add_option("--sysroot", opts.sysroot,
                   "answer from the host tree in DIR (a capture made with\n"
                   "'zodisk snapshot') instead of this machine")
        ->check(CLI::Validator(CLI::ExistingDirectory).description(""))
        ->type_name("DIR");
    app.add_flag("-J,--json", opts.json, "print JSON");
    app.add_flag("-v,--verbose", opts.verbose, "log detail to standard error (repeat for more)");

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

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e) == 0 ? EXIT_OK : EXIT_USAGE;
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e) == 0 ? EXIT_OK : EXIT_USAGE;
    } catch (const CLI::ParseError& e) {
        std::vector<std::string> rest = app.remaining();
        if (app.get_subcommands().empty() && !rest.empty())
            Output::error("unknown command '" + rest.front() + "'; see 'zodisk --help'");
        else if (std::string(e.what()).rfind("A subcommand is required", 0) == 0)
            Output::error("a command is required; see 'zodisk --help'");
        else
            Output::error(std::string(e.what()) + "; see 'zodisk --help'");
        return EXIT_USAGE;
    }

    // The library's own log lines only with -v: without it, failures reach
    // the user as zodisk's one-line errors.
    g_ptrLogWriter->setLogLevel(opts.verbose > 0
                                    ? std::min(opts.verbose, static_cast<int>(ZO_LOG_TRACE))
                                    : ZO_LOG_ERROR - 1);
    if (!opts.sysroot.empty())
        ZoHost::setRoot(opts.sysroot);

    Output out;
    if (!out.takeOverStdout()) {
        Output::error("cannot set up standard output");
        return EXIT_FAILED;
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

}  // namespace

}  // namespace zodisk

int main(int argc, char** argv) {
    return zodisk::main(argc, argv);
}
