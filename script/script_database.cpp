#include "script/script_database.h"

#include <utility>

#include "definitions/markup_parser.h"

namespace tolvane {

std::string ScriptDatabasePath(std::string_view programFolder) {
    std::string path(programFolder);
    if (path.empty() || path.back() != '\\') path += '\\';
    path += kScriptDatabaseName;
    return path;
}

bool ParseScripts(std::string text, std::vector<ScriptRecord>* scripts) {
    MarkupParser parser;
    if (!parser.Parse(std::move(text))) return false;
    if (!parser.NextElement("NA")) return true;
    while (parser.NextChild("SW")) {
        ScriptRecord record;
        record.name = parser.ChildAttribute("NAME");
        parser.EnterChild();
        // ChildData is empty when SCRIPT is missing: no child is selected then.
        parser.NextChild("SCRIPT");
        record.script = parser.ChildData();
        // DESCRIPTION is looked for after SCRIPT only.
        record.description =
            parser.NextChild("DESCRIPTION") ? parser.ChildAttribute("NAME") : kNoScriptDescription;
        parser.LeaveElement();
        scripts->push_back(std::move(record));
    }
    return true;
}

}  // namespace tolvane
