// LoadScripts: the script database file of the machine. Kept apart from the
// markup reading so that the latter builds without a machine (fuzzing).
#include <fstream>
#include <sstream>
#include <utility>

#include "definitions/container.h"
#include "script/script_database.h"

namespace tolvane {

void LoadScripts(const FileSystem& files, std::string_view programFolder,
                 std::vector<ScriptRecord>* scripts) {
    std::string text;
    if (!ReadContainer(files, ScriptDatabasePath(programFolder), &text)) return;
    ParseScripts(std::move(text), scripts);
}

void LoadShippedScripts(const std::string& hostFolder, std::vector<ScriptRecord>* scripts) {
    std::ifstream in(hostFolder + "/" + kScriptDatabaseName, std::ios::binary);
    std::ostringstream stored;
    if (in) stored << in.rdbuf();
    std::string text;
    if (!in || !DecodeContainer(stored.str(), &text)) return;
    ParseScripts(std::move(text), scripts);
}

}  // namespace tolvane
