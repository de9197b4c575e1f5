#include "startup/command_line.h"

#include <algorithm>
#include <vector>

namespace tolvane {

std::string LowerAscii(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

namespace {

std::string Trim(std::string_view text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string_view::npos) return "";
    size_t end = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(begin, end - begin + 1));
}

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of("\\/");
    return LowerAscii(slash == std::string::npos ? path : path.substr(slash + 1));
}

// Splits the arguments as the C runtime does closely enough for finding a
// file: whitespace separates, quotes group.
std::vector<std::string> SplitArguments(std::string_view text) {
    std::vector<std::string> out;
    std::string current;
    bool quoted = false, any = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (any) out.push_back(current);
            current.clear();
            any = false;
        } else {
            current += c;
            any = true;
        }
    }
    if (any) out.push_back(current);
    return out;
}

struct Finder {
    const std::function<bool(const std::string&)>& exists;
    std::string systemRoot;

    bool Exists(const std::string& path) const { return !path.empty() && exists(path); }

    // A bare name is looked for where Windows looks for it; a path in NT
    // form is made a Windows path.
    std::string Place(std::string path) const {
        std::string lower = LowerAscii(path);
        if (lower.rfind("\\??\\", 0) == 0) return path.substr(4);
        if (lower.rfind("\\systemroot\\", 0) == 0) return systemRoot + path.substr(11);
        if (lower.rfind("system32\\", 0) == 0 || lower.rfind("syswow64\\", 0) == 0)
            return systemRoot + "\\" + path;
        if (path.find_first_of("\\/:") != std::string::npos) return path;
        for (const char* folder : {"\\system32\\", "\\"})
            for (const char* suffix : {"", ".exe"})
                if (Exists(systemRoot + folder + path + suffix))
                    return systemRoot + folder + path + suffix;
        return path;
    }

    // The program of an unquoted command line: the shortest prefix ending
    // at a space that is a file, with or without ".exe"; else the first word.
    void SplitUnquoted(const std::string& text, std::string* program, std::string* rest) const {
        // A hostile line of many spaces costs at most this many lookups.
        int tries = 0;
        for (size_t end = text.find(' '); end != std::string::npos && ++tries <= 64;
             end = text.find(' ', end + 1)) {
            std::string head = text.substr(0, end);
            for (const std::string& candidate : {head, head + ".exe"})
                if (Exists(Place(candidate))) {
                    *program = candidate;
                    *rest = text.substr(end + 1);
                    return;
                }
        }
        size_t space = text.find(' ');
        *program = text.substr(0, space);
        *rest = space == std::string::npos ? "" : text.substr(space + 1);
    }
};

bool IsScriptFile(const std::string& name) {
    for (const char* ext : {".bat", ".cmd", ".vbs", ".vbe", ".js", ".jse", ".ps1", ".hta", ".wsf"})
        if (name.ends_with(ext)) return true;
    return false;
}

// The file a host runs, from its arguments; "" when it names none.
std::string HostedFile(const std::string& host, const std::vector<std::string>& args,
                       std::string* restForCmd) {
    if (host == "rundll32.exe" || host == "rundll32") {
        if (args.empty()) return "";
        return args[0].substr(0, args[0].find(','));
    }
    for (size_t i = 0; i < args.size(); ++i) {
        std::string lower = LowerAscii(args[i]);
        if (host == "cmd.exe" || host == "cmd") {
            if (lower == "/c" || lower == "/k" || lower == "/r") {
                for (size_t j = i + 1; j < args.size(); ++j)
                    *restForCmd += (j > i + 1 ? " " : "") + args[j];
                return "";
            }
        } else if (host == "powershell.exe" || host == "pwsh.exe" || host == "powershell") {
            if ((lower == "-file" || lower == "-f") && i + 1 < args.size()) return args[i + 1];
            if (lower.ends_with(".ps1")) return args[i];
        } else if (!lower.empty() && lower[0] != '/' && lower[0] != '-') {
            return args[i];  // regsvr32, wscript, cscript, mshta: the first operand
        }
    }
    return "";
}

bool IsHost(const std::string& name) {
    for (const char* host : {"rundll32.exe", "regsvr32.exe", "cmd.exe", "powershell.exe",
                             "pwsh.exe", "wscript.exe", "cscript.exe", "mshta.exe", "rundll32",
                             "cmd", "powershell", "regsvr32", "wscript", "cscript", "mshta"})
        if (name == host) return true;
    return false;
}

ResolvedCommand ResolveText(const Finder& finder, std::string text, int depth) {
    ResolvedCommand out;
    text = Trim(text);
    if (text.empty()) return out;
    std::string program, rest;
    if (text[0] == '"') {
        size_t close = text.find('"', 1);
        program = text.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        rest = close == std::string::npos ? "" : text.substr(close + 1);
    } else {
        finder.SplitUnquoted(text, &program, &rest);
    }
    program = finder.Place(program);
    if (!finder.Exists(program) && finder.Exists(program + ".exe")) program += ".exe";
    out.file = program;
    std::string host = BaseName(program);
    out.scriptHost = IsScriptFile(host);
    if (!IsHost(host) || depth > 4) return out;
    out.scriptHost =
        host.find("rundll32") == std::string::npos && host.find("regsvr32") == std::string::npos;
    std::string cmdRest;
    std::string hosted = HostedFile(host, SplitArguments(rest), &cmdRest);
    if (!cmdRest.empty()) {
        ResolvedCommand inner = ResolveText(finder, cmdRest, depth + 1);
        if (!inner.file.empty()) out.file = inner.file;
    } else if (!hosted.empty()) {
        out.file = finder.Place(hosted);
    }
    return out;
}

}  // namespace

ResolvedCommand ResolveCommand(std::string_view command,
                               const std::function<std::string(std::string_view)>& expand,
                               const std::function<bool(const std::string&)>& exists,
                               const std::string& systemRoot) {
    if (command.size() > kCommandLineLimit) command = command.substr(0, kCommandLineLimit);
    Finder finder{exists, systemRoot};
    return ResolveText(finder, expand(command), 0);
}

}  // namespace tolvane
