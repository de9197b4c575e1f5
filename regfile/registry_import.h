// The importer of the registry text format (registry_export.h) into the
// machine's registry: what "regedit.exe /i FILE" does for this program, and
// what `tolvane-reg import` runs.
//
// It reads what the exporter writes and the registry editor's own files: 8-bit
// text in the code page, or UTF-16LE with a byte-order mark (as the editor
// exports); the header "REGEDIT4" or "Windows Registry Editor Version 5.00";
// key lines "[ROOT\path]" (every key is created), value lines
// "\"name\"=data" or "@=data" with or without blanks around "=", data as
// "\"text\"", "dword:", "hex:" and "hex(N):" (N hexadecimal) with "\"
// continuation lines, and "-" for a value to delete. Line ends may be LF,
// CR LF or CR CR LF. String types given as hex ("hex(2):" and "hex(7):",
// also "hex(1):") are UTF-16LE in a UTF-16 file and the code page's bytes in
// an 8-bit file, as the registry editor reads them; they are stored as code
// page text, so "%PATH%;x" and multi-strings come back as they were.
//
// Names and text come in two forms: escaped (\\ and \" inside the quotes, as
// the exporter writes) and unescaped (as older exports wrote them, every
// character as it is). A file is read escaped unless one of its quoted
// names or texts has a backslash that is no escape, or cannot be read
// escaped; then the whole file is read unescaped, where a name ends at the
// first quote followed by "=" and a text runs to the line's last quote.
//
// Key deletions ("[-ROOT\path]") are not carried out; lines that are none of
// the above (the exporter's "Error" lines, comments) are skipped and counted.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tolvane {

class Registry;
class FileSystem;

struct RegistryImportReport {
    size_t keys = 0;          // key lines whose key was opened or created
    size_t values = 0;        // values set or deleted
    size_t failed = 0;        // keys or values the registry refused
    size_t skippedLines = 0;  // lines that are no key or value line
    bool escaped = true;      // the form the names and texts were read in
};

// Imports text (a whole file). False when it does not begin with one of the
// two header lines; then nothing is changed.
bool ImportRegistryText(Registry& registry, std::string_view text,
                        RegistryImportReport* report = nullptr);

// Reads the file at the Windows path and imports it. False when the file
// cannot be read or has no header.
bool ImportRegistryFile(Registry& registry, const FileSystem& files, std::string_view path,
                        RegistryImportReport* report = nullptr);

}  // namespace tolvane
