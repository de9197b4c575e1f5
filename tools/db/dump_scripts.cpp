#include "tools/db/dump_scripts.h"

#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "base/codepage.h"
#include "definitions/container.h"
#include "script/script_database.h"
#include "tools/db/host_files.h"

namespace tolvane {

namespace {

constexpr const char* kDumpScriptsHelp =
    "Usage: tolvane-db dump --scripts IN.db [--json]\n"
    "\n"
    "Loads the script database IN.db as the advanced scan does (container,\n"
    "markup, one record per SW of NA) and prints every script in document\n"
    "order: its name, its description and its text. --json prints one JSON\n"
    "object. A load failure names the step that failed and exits with 1.\n";

}  // namespace

int DumpScripts(const std::vector<std::string>& args) {
    std::string path;
    bool json = false;
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") return std::cout << kDumpScriptsHelp, 0;
        if (a == "--json") {
            json = true;
        } else if (!a.empty() && a[0] == '-') {
            std::cerr << "tolvane-db: unknown option " << a << "\n\n" << kDumpScriptsHelp;
            return 2;
        } else if (path.empty()) {
            path = a;
        } else {
            std::cerr << "tolvane-db: dump --scripts takes one IN.db\n\n" << kDumpScriptsHelp;
            return 2;
        }
    }
    if (path.empty()) {
        std::cerr << "tolvane-db: dump --scripts takes one IN.db\n\n" << kDumpScriptsHelp;
        return 2;
    }

    std::string stored, text, why;
    if (!ReadHostFile(path, kInputFileLimit, &stored, &why)) {
        std::cerr << "tolvane-db: " << why << "\n";
        return 1;
    }
    LoadError error = LoadError::CannotRead;
    if (!DecodeContainer(stored, &text, &error)) {
        std::cerr << "tolvane-db: " << path << ": " << LoadErrorText(error) << "\n";
        return 1;
    }
    std::vector<ScriptRecord> scripts;
    if (!ParseScripts(std::move(text), &scripts)) {
        std::cerr << "tolvane-db: " << path << ": " << LoadErrorText(LoadError::Parse) << "\n";
        return 1;
    }

    if (json) {
        nlohmann::json out = {{"scripts", nlohmann::json::array()}};
        for (const ScriptRecord& s : scripts) {
            out["scripts"].push_back({{"name", Cp1252ToUtf8(s.name)},
                                      {"description", Cp1252ToUtf8(s.description)},
                                      {"script", Cp1252ToUtf8(s.script)}});
        }
        std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    } else {
        std::cout << "scripts: " << scripts.size() << "\n";
        int number = 0;
        for (const ScriptRecord& s : scripts) {
            std::cout << "\n[" << ++number << "] name: " << Cp1252ToUtf8(s.name) << "\n"
                      << "    description: " << Cp1252ToUtf8(s.description) << "\n"
                      << "    script (" << s.script.size() << " bytes):\n"
                      << Cp1252ToUtf8(s.script) << "\n";
        }
    }
    return std::cout.flush() ? 0 : 1;
}

}  // namespace tolvane
