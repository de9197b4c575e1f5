// tolvane-demo: makes the demo machine Tolvane is shown on.
//   tolvane-demo create DIR [--data FOLDER] [--no-processes]
//   tolvane-demo reset DIR  [--data FOLDER] [--no-processes]
//   tolvane-demo stop DIR
#include <cstdio>
#include <cstring>
#include <string>

#include "base/program_version.h"
#include "discovery/open_machine.h"
#include "testing/demo_machine.h"

namespace {

int Usage(FILE* out, int status) {
    std::fprintf(out,
                 "usage: tolvane-demo create DIR [--data FOLDER] [--no-processes] [--seconds N]\n"
                 "       tolvane-demo reset DIR [--data FOLDER] [--no-processes] [--seconds N]\n"
                 "       tolvane-demo stop DIR\n"
                 "\n"
                 "create  makes a demo machine (a Wine-style prefix, no Wine needed) in DIR,\n"
                 "        which must be missing or empty: Tolvane installed in\n"
                 "        C:\\Program Files\\Tolvane\\ and the traces of every demo threat of\n"
                 "        data/definitions.xml planted, two of them as running programs.\n"
                 "reset   ends its programs, removes the demo machine in DIR and makes it anew\n"
                 "        (only a folder made by create is removed).\n"
                 "stop    ends the programs running in the demo machine.\n"
                 "--data FOLDER   where database.db and script.db are taken from\n"
                 "                (default: the build's data folder)\n"
                 "--no-processes  plant the programs' files but start none\n"
                 "--seconds N     how long the planted programs run (default 3600)\n");
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")))
        return Usage(stdout, 0);
    if (argc >= 2 && !std::strcmp(argv[1], "--version")) {
        std::printf("tolvane-demo %s\n", tolvane::kProgramVersion);
        return 0;
    }
    if (argc < 3) return Usage(stderr, 2);
    std::string command = argv[1], dir = argv[2];
    tolvane::demo::DemoOptions options;
    options.dataFolder = TOLVANE_SHIPPED_DATA_DIR;
    for (int i = 3; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--data" && i + 1 < argc) {
            options.dataFolder = argv[++i];
        } else if (arg == "--no-processes") {
            options.startProcesses = false;
        } else if (arg == "--seconds" && i + 1 < argc) {
            options.processSeconds = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--help") {
            return Usage(stdout, 0);
        } else {
            std::fprintf(stderr, "tolvane-demo: unknown option %s\n", arg.c_str());
            return Usage(stderr, 2);
        }
    }
    std::string error;
    // An existing machine folder of another user is worked on with that
    // user's rights, even when root runs this.
    tolvane::OwnedFolder owned = tolvane::TakeFolderOwnersRights(dir);
    if (owned.path.empty()) {
        std::fprintf(stderr, "tolvane-demo: %s\n", owned.error.c_str());
        return 1;
    }
    dir = owned.path;
    if (command == "create" || command == "make") {
        if (!tolvane::demo::CreateDemoMachine(dir, options, &error)) {
            std::fprintf(stderr, "tolvane-demo: %s\n", error.c_str());
            return 1;
        }
        std::printf("demo machine made in %s\n", dir.c_str());
        return 0;
    }
    if (command == "reset") {
        if (!tolvane::demo::ResetDemoMachine(dir, options, &error)) {
            std::fprintf(stderr, "tolvane-demo: %s\n", error.c_str());
            return 1;
        }
        std::printf("demo machine reset in %s\n", dir.c_str());
        return 0;
    }
    if (command == "stop") {
        int stopped = tolvane::demo::StopDemoProcesses(dir);
        std::printf("%d program(s) ended\n", stopped);
        return 0;
    }
    std::fprintf(stderr, "tolvane-demo: unknown command %s\n", command.c_str());
    return Usage(stderr, 2);
}
