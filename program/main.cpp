// tolvane: the program. It opens the desktop window, or with --headless runs
// the terminal front end (see ui/headless/headless.h and --help).
#include <cctype>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

#include "base/program_version.h"
#include "host/launcher_status.h"
#include "ui/headless/headless.h"
#ifdef TOLVANE_HAVE_QT
#include "ui/qt/desktop.h"
#endif

namespace {

using namespace tolvane;

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

// The command line as read: the options, or the exit status when reading it
// was all there was to do (help printed, bad usage).
struct CommandLine {
    HeadlessOptions options;
    bool headless = false;
    std::optional<int> exitStatus;
};

// --help: after a command word that command's help, else the usage.
int PrintHelp(const HeadlessOptions& options) {
    for (auto word = options.words.rbegin(); word != options.words.rend(); ++word) {
        if (const char* help = CommandHelp(*word)) {
            std::cout << "usage: tolvane --headless [OPTIONS] " << help;
            return kExitOk;
        }
    }
    PrintUsage(std::cout);
    return kExitOk;
}

// The value of "--name VALUE" or "--name=VALUE"; false when it is missing.
bool OptionValue(int argc, char** argv, int& i, const std::string& arg, const std::string& name,
                 std::string* out) {
    if (arg == name) {
        if (i + 1 >= argc) return false;
        *out = argv[++i];
        return true;
    }
    *out = arg.substr(name.size() + 1);
    return true;
}

// --answers: a comma-separated list, or a file of them one a line.
void AddAnswers(std::string text, HeadlessOptions* options) {
    std::ifstream file(text);
    if (file && text.find(',') == std::string::npos) {
        std::string line, all;
        while (std::getline(file, line)) all += line + ",";
        text = all;
    }
    for (const std::string& a : SplitList(text, ',')) options->answers.push_back(a);
}

// --drive D=/mnt/data: the letter's folder; false (and a message) when the
// text is not a letter, "=" and a folder.
bool AddDrive(const std::string& text, HeadlessOptions* options) {
    if (text.size() < 3 || text[1] != '=' || !std::isalpha(static_cast<unsigned char>(text[0]))) {
        std::cerr << "tolvane: --drive takes a letter and a folder: --drive D=/mnt/data\n";
        return false;
    }
    char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    options->machineOptions.drives[letter] = text.substr(2);
    return true;
}

// Reads the arguments in order; a value option without its value ends the
// reading there.
CommandLine ReadCommandLine(int argc, char** argv) {
    CommandLine line;
    HeadlessOptions& options = line.options;
    for (int i = 1; i < argc; ++i) options.arguments.push_back(argv[i]);
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string text;
        auto is = [&](const char* name) {
            return arg == name || arg.rfind(std::string(name) + "=", 0) == 0;
        };
        auto value = [&](const char* name, std::string* out) {
            return OptionValue(argc, argv, i, arg, name, out);
        };
        if (arg == "--help" || arg == "-h") {
            line.exitStatus = PrintHelp(options);
            return line;
        } else if (arg == "--version") {
            std::cout << "tolvane " << kProgramVersion << "\n";
            line.exitStatus = kExitOk;
            return line;
        } else if (arg == "--headless") {
            line.headless = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--yes") {
            options.fallback = 1;
        } else if (arg == "--no") {
            options.fallback = 2;
        } else if (is("--machine")) {
            if (!value("--machine", &options.machinePath)) break;
        } else if (is("--user")) {
            if (!value("--user", &options.machineOptions.user)) break;
        } else if (is("--drive")) {
            if (!value("--drive", &text)) break;
            if (!AddDrive(text, &options)) {
                line.exitStatus = kExitUsage;
                return line;
            }
        } else if (is("--answers")) {
            if (!value("--answers", &text)) break;
            AddAnswers(text, &options);
        } else if (is("--folders")) {
            if (!value("--folders", &text)) break;
            options.haveFolders = true;
            options.folders = SplitList(text, ';');
        } else if (is("--save-as")) {
            if (!value("--save-as", &text)) break;
            options.saveAs.push_back(text);
        } else if (is("--open")) {
            if (!value("--open", &text)) break;
            options.open.push_back(text);
        } else if (arg == "--list-machines") {
            options.listMachines = true;
        } else if (arg == "--all-machines") {
            options.allMachines = true;
        } else if (is("--mount")) {
            if (!value("--mount", &text)) break;
            options.mounts.push_back(text);
        } else if (is("--definitions")) {
            if (!value("--definitions", &options.definitionsFile)) break;
        } else if (is("--clamd")) {
            if (!value("--clamd", &options.clamdSocket)) break;
        } else if (is("--launcher-status")) {
            if (!value("--launcher-status", &options.launcherStatus)) break;
        } else if (arg.size() > 1 && arg[0] == '-' && arg[1] != '-' &&
                   (arg.find("-s") != std::string::npos || arg.find("-b") != std::string::npos)) {
            // Read from the Windows command line by the start-up, which finds
            // the switches anywhere in it ("-sb" acts as -s, "-bs" as -b).
        } else if ((arg == "--all" || arg == "--weekly" || arg == "--with-file") &&
                   !options.words.empty() && options.words[0] == "startup") {
            options.words.push_back(arg);
        } else if (arg.rfind("--", 0) == 0) {
            std::cerr << "tolvane: unknown option " << arg << "\n";
            PrintUsage(std::cerr);
            line.exitStatus = kExitUsage;
            return line;
        } else {
            options.words.push_back(arg);
        }
    }
    return line;
}

// The desktop window: the machine and the two switches are all it takes;
// the rest belongs to the headless front end. A build without Qt (the
// sanitizer builds) has only the terminal.
int RunWindow(int argc, char** argv, const HeadlessOptions& options) {
#ifdef TOLVANE_HAVE_QT
    if (!options.words.empty() || options.json || options.fallback != 0 ||
        !options.answers.empty() || options.haveFolders || !options.saveAs.empty() ||
        !options.open.empty()) {
        std::cerr << "tolvane: commands and their options run with --headless only\n";
        PrintUsage(std::cerr);
        return kExitUsage;
    }
    DesktopOptions desktop;
    desktop.machinePath = options.machinePath;
    desktop.machineOptions = options.machineOptions;
    desktop.arguments = options.arguments;
    desktop.definitionsFile = options.definitionsFile;
    std::string error;
    int status = RunDesktop(argc, argv, desktop, &error);
    if (!error.empty()) std::cerr << error << "\n";
    return status;
#else
    (void)argc;
    (void)argv;
    (void)options;
    std::cerr << "tolvane: this build has no desktop window; run it with --headless\n";
    PrintUsage(std::cerr);
    return kExitUsage;
#endif
}

// The machines of this user: listed, or each scanned in turn.
int RunOnAllMachines(const CommandLine& line) {
    const HeadlessOptions& options = line.options;
    if (options.listMachines)
        return ListMachines(FindUserMachines(options.mounts), options.json, std::cout);
    const bool startup = !options.words.empty() && options.words[0] == "startup";
    // Row numbers name the rows of one machine's listing: acting on them is
    // never repeated over every machine.
    const bool startupAction = startup && options.words.size() > 1 &&
                               (options.words[1] == "remove" || options.words[1] == "disable" ||
                                options.words[1] == "enable");
    if (!line.headless || (options.words.size() != 2 && !startup) ||
        (options.words[0] != "scan" && !startup) || startupAction || !options.machinePath.empty()) {
        std::cerr
            << "tolvane: --all-machines runs one scan on every machine: "
               "tolvane --headless --all-machines scan MODE (or startup [--all] [--weekly])\n";
        return kExitUsage;
    }
    return ScanAllMachines(options, FindUserMachines(options.mounts), std::cout, std::cerr);
}

int Run(int argc, char** argv, const CommandLine& line) {
    if (line.options.listMachines || line.options.allMachines) return RunOnAllMachines(line);
    if (!line.headless) return RunWindow(argc, argv, line.options);
    return RunHeadless(line.options, std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine line = ReadCommandLine(argc, argv);
    if (line.exitStatus) return *line.exitStatus;
    // Started by the Windows launcher of a machine: it waits for our status.
    LauncherStatus launcher;
    if (!line.options.launcherStatus.empty()) {
        std::string error;
        if (!launcher.Begin(line.options.launcherStatus, &error))
            std::cerr << "tolvane: --launcher-status: " << error << "\n";
    }
    int status = Run(argc, argv, line);
    launcher.End(status);
    return status;
}
