// tolvane: the program. It opens the desktop window, or with --headless runs
// the terminal front end (see ui/headless/headless.h and --help).
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

#include "platform/launcher_status.h"
#include "ui/headless/headless.h"
#ifdef TOLVANE_HAVE_QT
#include "ui/qt/desktop.h"
#endif

namespace {

std::vector<std::string> SplitList(const std::string& text, char separator) {
    std::vector<std::string> items;
    std::string item;
    std::istringstream in(text);
    while (std::getline(in, item, separator)) {
        while (!item.empty() && (item.back() == '\r' || item.back() == ' ')) item.pop_back();
        size_t start = item.find_first_not_of(' ');
        if (start != std::string::npos) items.push_back(item.substr(start));
    }
    return items;
}

int Run(int argc, char** argv, bool headless, const tolvane::HeadlessOptions& options);

}  // namespace

int main(int argc, char** argv) {
    using namespace tolvane;
    HeadlessOptions options;
    bool headless = false;
    for (int i = 1; i < argc; ++i) options.arguments.push_back(argv[i]);
    auto value = [&](int& i, const std::string& arg, const std::string& name,
                     std::string* out) -> bool {
        if (arg == name) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        }
        *out = arg.substr(name.size() + 1);
        return true;
    };
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string text;
        auto is = [&](const char* name) {
            return arg == name || arg.rfind(std::string(name) + "=", 0) == 0;
        };
        if (arg == "--help" || arg == "-h") {
            // After a command word: that command's help.
            for (auto w = options.words.rbegin(); w != options.words.rend(); ++w) {
                if (const char* help = CommandHelp(*w)) {
                    std::cout << "usage: tolvane --headless [OPTIONS] " << help;
                    return kExitOk;
                }
            }
            PrintUsage(std::cout);
            return kExitOk;
        } else if (arg == "--headless") {
            headless = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--yes") {
            options.fallback = 1;
        } else if (arg == "--no") {
            options.fallback = 2;
        } else if (is("--machine")) {
            if (!value(i, arg, "--machine", &options.machinePath)) break;
        } else if (is("--answers")) {
            if (!value(i, arg, "--answers", &text)) break;
            std::ifstream file(text);
            if (file && text.find(',') == std::string::npos) {
                std::string line, all;
                while (std::getline(file, line)) all += line + ",";
                text = all;
            }
            for (const std::string& a : SplitList(text, ',')) options.answers.push_back(a);
        } else if (is("--folders")) {
            if (!value(i, arg, "--folders", &text)) break;
            options.haveFolders = true;
            options.folders = SplitList(text, ';');
        } else if (is("--save-as")) {
            if (!value(i, arg, "--save-as", &text)) break;
            options.saveAs.push_back(text);
        } else if (is("--open")) {
            if (!value(i, arg, "--open", &text)) break;
            options.open.push_back(text);
        } else if (arg == "--list-machines") {
            options.listMachines = true;
        } else if (arg == "--all-machines") {
            options.allMachines = true;
        } else if (is("--mount")) {
            if (!value(i, arg, "--mount", &text)) break;
            options.mounts.push_back(text);
        } else if (is("--launcher-status")) {
            if (!value(i, arg, "--launcher-status", &options.launcherStatus)) break;
        } else if (arg.size() > 1 && arg[0] == '-' && arg[1] != '-' &&
                   (arg.find("-s") != std::string::npos || arg.find("-b") != std::string::npos)) {
            // Read from the Windows command line by the start-up, which finds
            // the switches anywhere in it ("-sb" acts as -s, "-bs" as -b).
        } else if (arg.rfind("--", 0) == 0) {
            std::cerr << "tolvane: unknown option " << arg << "\n";
            PrintUsage(std::cerr);
            return kExitUsage;
        } else {
            options.words.push_back(arg);
        }
        if (i == argc) break;
    }
    // Started by the Windows launcher of a machine: it waits for our status.
    LauncherStatus launcher;
    if (!options.launcherStatus.empty()) {
        std::string error;
        if (!launcher.Begin(options.launcherStatus, &error))
            std::cerr << "tolvane: --launcher-status: " << error << "\n";
    }
    int status = Run(argc, argv, headless, options);
    launcher.End(status);
    return status;
}

namespace {

int Run(int argc, char** argv, bool headless, const tolvane::HeadlessOptions& options) {
    using namespace tolvane;
    if (options.listMachines)
        return ListMachines(FindUserMachines(options.mounts), options.json, std::cout);
    if (options.allMachines) {
        if (!headless || options.words.size() != 2 || options.words[0] != "scan" ||
            !options.machinePath.empty()) {
            std::cerr << "tolvane: --all-machines runs one scan on every machine: "
                         "tolvane --headless --all-machines scan MODE\n";
            return kExitUsage;
        }
        return ScanAllMachines(options, FindUserMachines(options.mounts), std::cout, std::cerr);
    }
    if (!headless) {
#ifdef TOLVANE_HAVE_QT
        // The desktop window: the machine and the two switches are all it
        // takes; the rest belongs to the headless front end.
        if (!options.words.empty() || options.json || options.fallback != 0 ||
            !options.answers.empty() || options.haveFolders || !options.saveAs.empty() ||
            !options.open.empty()) {
            std::cerr << "tolvane: commands and their options run with --headless only\n";
            PrintUsage(std::cerr);
            return kExitUsage;
        }
        DesktopOptions desktop;
        desktop.machinePath = options.machinePath;
        desktop.arguments = options.arguments;
        std::string error;
        int status = RunDesktop(argc, argv, desktop, &error);
        if (!error.empty()) std::cerr << error << "\n";
        return status;
#else
        std::cerr << "tolvane: this build has no desktop window; run it with --headless\n";
        PrintUsage(std::cerr);
        return kExitUsage;
#endif
    }
    return RunHeadless(options, std::cout, std::cerr);
}

}  // namespace
