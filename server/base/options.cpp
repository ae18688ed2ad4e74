// The command line: every option with its check and the usage text. A bad value is
// refused with a clear message and the usage before anything starts.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <arpa/inet.h>
#include <getopt.h>

#include "options.h"
#include "veskTrace.h"

// The version is the project's (CMakeLists.txt), shared with the Debian package.
serverOptions options;

static void usage(FILE* to, const char* program) {
    fprintf(to,
            "Usage: %s [options]\n"
            "The authoritative server of the Quarn world: players' clients talk to it in UDP\n"
            "datagrams. Without --headless it opens its control window (Start, Stop, log),\n"
            "unless it was built without one.\n"
            "\n"
            "  --headless               serve at once without a window; log to standard output,\n"
            "                           commands from standard input; SIGINT, SIGTERM or\n"
            "                           SIGHUP stop with a save\n"
            "  --control COMMAND        send an operator's command to the server running on\n"
            "                           the save folder (--res), print its answer, exit 0,\n"
            "                           or 1 when it failed; --control help lists them\n"
            "  --port N                 UDP port to serve on (1-65535, default 2300)\n"
            "  --http ADDRESS:PORT      serve the live page, /status.json and /metrics there\n"
            "                           over HTTP (off by default; e.g. 127.0.0.1:8080)\n"
            "  --res DIR                folder of the logo, the font and the save files\n"
            "                           (default: $QUARN_RES when set, else res)\n"
            "  --quiet                  no diagnostic trace lines on standard output\n"
            "  --verbose                headless: log the protocol's entries too (every\n"
            "                           acknowledgement, batch and poll)\n"
            "  --max-accounts N         accounts the server keeps at most (default 10000)\n"
            "  --max-view-radius N      view radius, in chunks, a login may ask for at most\n"
            "                           (1-1000, default 16)\n"
            "  --world-radius N         chunks are made only within N chunks of the origin\n"
            "                           (1-1000000, default 128)\n"
            "  --autosave SECONDS       save accounts and world this often while serving\n"
            "                           (0 = never, default 300)\n"
            "  --status-interval SECONDS  how often the status line is logged (default 60)\n"
            "  --hashes-per-tick N      password hashes (logins of accounts) a tick may\n"
            "                           spend (1-1000, default 5)\n"
            "  --creations-per-address N  accounts one address may make in a minute\n"
            "                           (0-1000000, default 5; loopback is never limited)\n"
            "  --failed-logins-per-address N  wrong passwords from one address in a minute\n"
            "                           before it is refused until the minute ends\n"
            "                           (1-1000000, default 10)\n"
            "  --creations-per-minute N accounts confirmed in a minute from all addresses but\n"
            "                           loopback (0-1000000, default 30)\n"
            "  --max-players N          sessions at once; logins beyond are refused\n"
            "                           (0 = no limit, the default; 0-100000)\n"
            "  --backup-every HOURS     put a save's files into backups/ this often\n"
            "                           (0 = never, the default; 0-720)\n"
            "  --keep-backups N         backups kept; the oldest beyond go (1-1000, default 10)\n"
            "  --version                print the version and exit\n"
            "  --help                   print this text and exit\n",
            program);
}

void setResDir(const char* dir) {
    options.resDir = dir;
}

std::string resPath(const char* name) {
    return options.resDir + "/" + name;
}

enum optionId {
    optHeadless = 1000,
    optControl,
    optHttp,
    optPort,
    optRes,
    optQuiet,
    optVerbose,
    optMaxAccounts,
    optMaxViewRadius,
    optWorldRadius,
    optAutosave,
    optStatusInterval,
    optHashesPerTick,
    optCreationsPerMinute,
    optCreationsPerAddress,
    optFailedLoginsPerAddress,
    optMaxPlayers,
    optBackupEvery,
    optKeepBackups,
    optVersion,
    optHelp
};

// A numeric option: the setting it sets and the values it accepts.
struct numericOption {
    int id;
    int* target;
    long lo, hi;
};

int parseCommandLine(int argc, char** argv, commandLine* out) {
    static const option longOptions[] = {
        {"headless", no_argument, nullptr, optHeadless},
        {"control", required_argument, nullptr, optControl},
        {"http", required_argument, nullptr, optHttp},
        {"port", required_argument, nullptr, optPort},
        {"res", required_argument, nullptr, optRes},
        {"quiet", no_argument, nullptr, optQuiet},
        {"verbose", no_argument, nullptr, optVerbose},
        {"max-accounts", required_argument, nullptr, optMaxAccounts},
        {"max-view-radius", required_argument, nullptr, optMaxViewRadius},
        {"world-radius", required_argument, nullptr, optWorldRadius},
        {"autosave", required_argument, nullptr, optAutosave},
        {"status-interval", required_argument, nullptr, optStatusInterval},
        {"hashes-per-tick", required_argument, nullptr, optHashesPerTick},
        {"creations-per-minute", required_argument, nullptr, optCreationsPerMinute},
        {"creations-per-address", required_argument, nullptr, optCreationsPerAddress},
        {"failed-logins-per-address", required_argument, nullptr, optFailedLoginsPerAddress},
        {"max-players", required_argument, nullptr, optMaxPlayers},
        {"backup-every", required_argument, nullptr, optBackupEvery},
        {"keep-backups", required_argument, nullptr, optKeepBackups},
        {"version", no_argument, nullptr, optVersion},
        {"help", no_argument, nullptr, optHelp},
        {nullptr, 0, nullptr, 0}};
    const numericOption numeric[] = {
        {optPort, &options.port, 1, 65535},
        {optMaxAccounts, &options.maxAccounts, 0, 10000000},
        {optMaxViewRadius, &options.maxViewRadius, 1, 1000},
        {optWorldRadius, &options.worldRadius, 1, 1000000},
        {optAutosave, &options.autosaveSeconds, 0, 7 * 24 * 3600},
        {optStatusInterval, &options.statusSeconds, 1, 24 * 3600},
        {optHashesPerTick, &options.hashesPerTick, 1, 1000},
        {optCreationsPerMinute, &options.creationsPerMinute, 0, 1000000},
        {optCreationsPerAddress, &options.creationsPerAddress, 0, 1000000},
        {optFailedLoginsPerAddress, &options.failedLoginsPerAddress, 1, 1000000},
        {optMaxPlayers, &options.maxPlayers, 0, 100000},
        {optBackupEvery, &options.backupEveryHours, 0, 720},
        {optKeepBackups, &options.keepBackups, 1, 1000}};
    const char* program = argc > 0 ? argv[0] : "quarn-server";
    *out = commandLine{};
    optind = 0; // 0 starts the scan afresh, whatever an earlier one left
    opterr = 0; // the messages below say more
    for (;;) {
        int index = -1;
        int id = getopt_long(argc, argv, "", longOptions, &index);
        if (id == -1) break;
        const char* name = index >= 0 ? longOptions[index].name : nullptr;
        int known = 0;
        for (const numericOption& n : numeric) {
            if (n.id != id) continue;
            known = 1;
            if (!parseWholeNumber(optarg, n.lo, n.hi, n.target)) {
                fprintf(stderr, "%s: --%s takes a whole number from %ld to %ld, not \"%s\"\n",
                        program, name, n.lo, n.hi, optarg);
                usage(stderr, program);
                return 2;
            }
        }
        if (known) continue;
        switch (id) {
        case optHeadless:
            out->headless = 1;
            break;
        case optControl:
            out->control = optarg;
            break;
        case optHttp:
            if (!parseListenAddress(optarg, &out->httpAddress)) {
                fprintf(stderr,
                        "%s: --http takes ADDRESS:PORT, an IPv4 address and a port from 1 to "
                        "65535, not \"%s\"\n",
                        program, optarg);
                usage(stderr, program);
                return 2;
            }
            out->http = 1;
            break;
        case optRes:
            if (!*optarg) {
                fprintf(stderr, "%s: --res needs a folder\n", program);
                usage(stderr, program);
                return 2;
            }
            setResDir(optarg);
            options.resGiven = 1;
            break;
        case optQuiet:
            trace.on = 0;
            break;
        case optVerbose:
            out->verbose = 1;
            break;
        case optVersion:
            printf("%s\n", serverVersion);
            return 0;
        case optHelp:
            usage(stdout, program);
            return 0;
        default:
            if (optopt >= optHeadless)
                fprintf(stderr, "%s: %s needs a value\n", program, argv[optind - 1]);
            else
                fprintf(stderr, "%s: option %s is not known\n", program, argv[optind - 1]);
            usage(stderr, program);
            return 2;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "%s: unexpected argument \"%s\"\n", program, argv[optind]);
        usage(stderr, program);
        return 2;
    }
    // An installed host names its save folder once (the service's /etc/default file, an
    // operator's shell); --res still wins. Like --res, the folder must exist.
    const char* envRes = getenv("QUARN_RES");
    if (!options.resGiven && envRes && *envRes) {
        setResDir(envRes);
        options.resGiven = 1;
    }
    return -1;
}
