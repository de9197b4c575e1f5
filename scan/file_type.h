// What kind of file a file is by its first bytes (the `filetype` external
// variable of YARA rules), and whether the content check reads it when not
// told to read every file.
// Errors: none; threads: any (pure functions over constant tables).
#pragma once

#include <string_view>

namespace tolvane {

// The type name of the longest magic-byte signature the head starts with
// ("EXE", "ZIP", "PDF", ...), "" when none does.
std::string_view FileTypeOfHead(std::string_view head);

// Whether a file of this type (FileTypeOfHead) or extension (lower case with
// its dot, ".dll") is an executable, script, archive or document: the files
// malware hides in.
bool IsContentCheckedKind(std::string_view fileType, std::string_view extension);

}  // namespace tolvane
