// The script database (script.db in the program folder): the removal scripts
// of the advanced scan, one ScriptRecord per SW element of its markup, in
// document order. The file is a definitions container around this markup:
//
//   <NA>
//     <SW NAME="label shown in the list">
//       <SCRIPT>script text, plain (entities decoded) or in CDATA (raw)</SCRIPT>
//       <DESCRIPTION NAME="text shown under the list"/>
//     </SW>
//   </NA>
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

class FileSystem;

// The description of a script whose SW has no DESCRIPTION after its SCRIPT.
inline constexpr const char* kNoScriptDescription = "No description available";
inline constexpr const char* kScriptDatabaseName = "script.db";

// One removal script; the three texts are 8-bit (code page 1252).
struct ScriptRecord {
    std::string script;       // handed to the script host
    std::string name;         // the list's "Vendor" column
    std::string description;  // shown when the row is clicked
};

// "<folder>\script.db" (one backslash between the two, also when the folder
// already ends with one).
std::string ScriptDatabasePath(std::string_view programFolder);

// Appends one record per SW child of the top element NA of the markup text.
// Returns false (and appends nothing) when the text does not parse.
bool ParseScripts(std::string text, std::vector<ScriptRecord>* scripts);

// LoadScripts: reads the script database of the program folder and appends
// its records. A missing, unreadable or damaged file appends nothing and
// reports nothing.
void LoadScripts(const FileSystem& files, std::string_view programFolder,
                 std::vector<ScriptRecord>* scripts);
// The same from the host folder Tolvane ships its databases in (a machine
// that keeps no state of Tolvane's inside has none installed).
void LoadShippedScripts(const std::string& hostFolder, std::vector<ScriptRecord>* scripts);

}  // namespace tolvane
