// tolvane: the headless program.
//   tolvane --headless [--machine PREFIX] [--json] COMMAND ARGS...
// Commands: scan smart|custom|drives|registry|memory|files
#include <cstring>
#include <iostream>
#include <map>
#include <string>

#include "ui/headless/headless.h"

namespace {

using tolvane::HeadlessOptions;

using Command = int (*)(const HeadlessOptions&, std::ostream&, std::ostream&);

const std::map<std::string, Command>& Commands() {
    static const std::map<std::string, Command> commands = {
        {"scan", tolvane::RunScanCommand},
    };
    return commands;
}

int Usage(std::ostream& err) {
    err << "usage: tolvane --headless [--machine PREFIX] [--json] COMMAND ...\n"
           "commands:\n"
           "  scan smart|custom|drives|registry|memory|files\n";
    return tolvane::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    HeadlessOptions options;
    bool headless = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (!options.words.empty()) {
            options.words.push_back(arg);
        } else if (arg == "--headless") {
            headless = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--machine") {
            if (i + 1 >= argc) return Usage(std::cerr);
            options.machinePath = argv[++i];
        } else if (arg.rfind("--machine=", 0) == 0) {
            options.machinePath = arg.substr(std::strlen("--machine="));
        } else if (arg == "--help" || arg == "-h") {
            Usage(std::cout);
            return tolvane::kExitOk;
        } else if (arg.rfind("--", 0) == 0) {
            std::cerr << "tolvane: unknown option " << arg << "\n";
            return Usage(std::cerr);
        } else {
            options.words.push_back(arg);
        }
    }
    if (!headless) {
        std::cerr << "tolvane: this build has no desktop window; run it with --headless\n";
        return Usage(std::cerr);
    }
    if (options.words.empty()) return Usage(std::cerr);
    auto command = Commands().find(options.words[0]);
    if (command == Commands().end()) {
        std::cerr << "tolvane: unknown command " << options.words[0] << "\n";
        return Usage(std::cerr);
    }
    return command->second(options, std::cout, std::cerr);
}
