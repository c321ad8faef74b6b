// draxo: a command-line host of the DRAXO driver, for commissioning a line
// of R.K.C. REX-P200 controllers.
#include <CLI/CLI.hpp>
#include <exception>
#include <filesystem>
#include <iostream>

#include "commands.h"
#include "draxo_version.h"
#include "platform_util.h"

using namespace draxo::tool;

namespace {

void addLineOptions(CLI::App* app, CommonOptions& o, bool port) {
    if (port) {
        app->add_option("--port", o.line.port,
                        "serial port as the driver takes it, at most 11 characters: COM3, "
                        "\\\\.\\COM10, ttyUSB0, pts/4 or a path");
    }
    app->add_option("--baud", o.line.baud, "bits per second (1..65535)")->capture_default_str();
    app->add_option("--data-bits", o.line.dataBits, "data bits")->capture_default_str();
    app->add_option("--parity", o.line.parity, "none, odd, even, mark or space")
        ->capture_default_str();
    app->add_option("--stop-bits", o.line.stopBits, "1 or 2")->capture_default_str();
    app->add_option("--timeout", o.line.timeoutMs,
                    "reply time-out in ms (per character, rounded up to 10 ms)")
        ->capture_default_str();
    app->add_option("--ifg", o.ifg, "pause before every request, ms");
}

void addStationOptions(CLI::App* app, CommonOptions& o) {
    auto* init =
        app->add_option("--init", o.initFile, "init file to use (IFG = 20 / 1 = P200 lines)");
    app->add_option("--stations", o.stations,
                    "declare these controller addresses, e.g. 1,2 (default: those the gates "
                    "name)")
        ->excludes(init);
}

void addCommon(CLI::App* app, CommonOptions& o) {
    app->add_option("--driver", o.driver, "driver library to load (default: the one beside draxo)");
    app->add_option("--format", o.format, "table, csv or jsonl")->capture_default_str();
    app->add_flag("-v,--verbose", o.verbose,
                  "show the driver's log on stderr (-v class 32, -vv also class 8)");
}

void addSelects(CLI::App* app, CommonOptions& o) {
    app->add_option("--select", o.selects,
                    "segment gate to set first, e.g. --select 0125=1 --select 0130=2")
        ->allow_extra_args(false);
}

} // namespace

int main(int argc, char** argv) {
    prepareConsole();
    CLI::App app{"draxo " DRAXO_VERSION
                 ": command-line host of the DRAXO driver for R.K.C. REX-P200 program "
                 "controllers.\nLoads the driver (DRAXO.dll / libdraxo.so) beside it and talks "
                 "to a serial line through it."};
    app.set_version_flag("--version", "draxo " DRAXO_VERSION);
    // --help on the tool lists every command with all its options.
    app.set_help_flag();
    app.set_help_all_flag("-h,--help", "print every command and option, and exit");
    app.require_subcommand(1);
    app.footer(
        "Gates are address texts: two digits of controller address and an identifier\n"
        "(01M1, 02S1, 01TM), or a segment gate (0125 program, 0130 step, 0135, 0141, 0149).\n"
        "A gate may carry a name: oven=01M1. Time values (TR TM TO TF ET) are hhmmss.\n\n"
        "Examples:\n"
        "  draxo info\n"
        "  draxo read --port ttyUSB0 --stations 1,2 01M1 02M1 oven=01S1\n"
        "  draxo read --port COM3 --select 0125=1 --select 0130=2 01LE 01TM\n"
        "  draxo write --port COM3 01S1=150 01TR=01:30:00\n"
        "  draxo poll --port COM3 --init plant.int --interval 500 01M1 02M1\n"
        "  draxo poll --port pts/4 --count 10 --format csv 01M1 > samples.csv\n"
        "  draxo scan --port ttyUSB0 --write-init DRAXO.INT\n"
        "  draxo demo --seconds 8\n\n"
        "Exit status: 0 every gate succeeded, 1 some failed, 2 usage or start-up error.");

    CommonOptions o;
    std::vector<std::string> gates;
    unsigned intervalMs = 1000;
    unsigned long count = 0;
    double seconds = 0;
    std::string writeInit;
    std::string rexsim;
    double demoSeconds = 8;

    auto* info = app.add_subcommand("info", "identification of the driver (GetVpiInfo)");
    addCommon(info, o);

    auto* read = app.add_subcommand("read", "read gates once");
    addCommon(read, o);
    addLineOptions(read, o, true);
    addStationOptions(read, o);
    addSelects(read, o);
    read->add_option("gates", gates, "gates, e.g. 01M1 oven=02M1")->required();
    read->footer("Example: draxo read --port ttyUSB0 --stations 1 01M1 01S1 01TM");

    auto* write = app.add_subcommand("write", "write gates once");
    addCommon(write, o);
    addLineOptions(write, o, true);
    addStationOptions(write, o);
    addSelects(write, o);
    write->add_option("items", gates, "GATE=VALUE, e.g. 01S1=150 01TR=01:30:00 0125=3")->required();
    write->footer("Example: draxo write --port COM3 --stations 1 01S1=150\n"
                  "Values are sent as whole numbers (time gates as hh.mm.ss).");

    auto* poll = app.add_subcommand("poll", "read gates again and again, with counters");
    addCommon(poll, o);
    addLineOptions(poll, o, true);
    addStationOptions(poll, o);
    addSelects(poll, o);
    poll->add_option("gates", gates, "gates to poll")->required();
    poll->add_option("--interval", intervalMs, "ms from the start of one round to the next")
        ->capture_default_str();
    poll->add_option("--count", count, "rounds to poll (0: until Ctrl-C)")->capture_default_str();
    poll->add_option("--seconds", seconds, "stop after this many seconds (0: no limit)");
    poll->footer("Example: draxo poll --port COM3 --stations 1,2 --interval 500 01M1 02M1\n"
                 "In a terminal the table is redrawn in place; otherwise one line per sample.\n"
                 "Stations that stop answering are probed less often; a failed port is\n"
                 "closed and reopened with back-off.");

    auto* scan = app.add_subcommand("scan", "find which addresses 0..15 answer");
    addCommon(scan, o);
    addLineOptions(scan, o, true);
    scan->add_option("--write-init", writeInit, "write an init file of the answering addresses");
    scan->footer("Example: draxo scan --port ttyUSB0 --write-init DRAXO.INT\n"
                 "The reply time-out is 50 ms here unless --timeout is given.");

    auto* demo = app.add_subcommand("demo", "a guided run against the simulator rexsim");
    addCommon(demo, o);
    addLineOptions(demo, o, false);
    demo->add_option("--seconds", demoSeconds, "how long to poll live")->capture_default_str();
    demo->add_option("--rexsim", rexsim, "the simulator (default: rexsim beside draxo)");
    demo->footer("Example: draxo demo --seconds 8");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }

    for (auto* sub : {read, write, poll, scan, demo}) {
        if (sub->parsed() && sub->count("--timeout") > 0) {
            o.timeoutGiven = true;
        }
    }

    try {
        if (info->parsed()) {
            return cmdInfo(o);
        }
        if (read->parsed()) {
            return cmdRead(o, gates);
        }
        if (write->parsed()) {
            return cmdWrite(o, gates);
        }
        if (poll->parsed()) {
            return cmdPoll(o, gates, intervalMs, count, seconds);
        }
        if (scan->parsed()) {
            return cmdScan(o, writeInit);
        }
        if (demo->parsed()) {
            return cmdDemo(o, demoSeconds, rexsim);
        }
    } catch (const UsageError& e) {
        std::cerr << "draxo: " << e.message << '\n';
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "draxo: " << e.what() << '\n';
        return 2;
    }
    return 2;
}
