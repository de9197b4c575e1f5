// The registry text format of the backup's regbackup.reg: the registry
// editor's import format, as text the way it lands on disk (every line ends
// in CR LF). The backup writes it and the restore's importer
// (registry_import.h) reads it back.
//
// Layout: a header line, then blocks. A tree export writes "[ROOT\path]" and
// the key's own values, then for every subkey, depth first, an empty line,
// "[ROOT\path\sub]" and the subkey's values. A value line is "\"name\" = "
// (or "@ = " for the default value) followed by the data part of
// FormatRegistryData.
//
// Choices of this format:
// - Backslashes and double quotes in value names and string data are
//   escaped as the registry editor does (\\ and \"), so a value holding them
//   comes back unchanged; key names in brackets are written as they are.
// - Type numbers in "hex(N):" are hexadecimal, as the registry editor reads
//   them (2, 7, 8, 9 read the same either way; 10 is "hex(a):").
// - Nothing is dropped: string data with bytes after its first zero, DWORDs
//   that are not four bytes long and the types without a form of their own
//   (REG_NONE, REG_LINK, REG_QWORD, Wine's property types) are written as
//   "hex(N):" with their bytes, which the importer stores back as they were.
#pragma once

#include <string>
#include <string_view>

#include "machine/registry.h"

namespace tolvane {

inline constexpr const char* kRegistryHeaderV5 = "Windows Registry Editor Version 5.00";
inline constexpr const char* kRegistryHeaderV4 = "REGEDIT4";

// "Windows Registry Editor Version 5.00" when the machine is Windows 2000 or
// XP (NT family, version 5.0 or 5.1), otherwise "REGEDIT4". The version is
// Wine's "Version" setting (HKCU, then HKLM Software\Wine) when the prefix
// has one, else HKLM Software\Microsoft\Windows NT\CurrentVersion
// "CurrentVersion"; a machine without either is of the Windows 95 family.
std::string RegistryFileHeader(const Registry& registry);

// The data part of a value line, ending in CR LF: "\"text\"" for REG_SZ,
// "dword:%08x" for a four-byte REG_DWORD, "hex:" and the bytes for
// REG_BINARY, "hex(N):" and the bytes for every other type. Bytes are
// "%02x," each; after the bytes at index 21, 42, 63 ... a backslash and a line
// end follow, so the first line holds 22 bytes and every further one 21.
// Not after the last byte: the registry editor (Wine's regedit) skips empty
// lines after a continuation mark and takes the next line for more bytes,
// so it would drop the value and file the values after it under the wrong
// key. The importer reads both forms.
std::string FormatRegistryData(uint32_t type, std::string_view data);

// A whole value line: name part and data part.
std::string FormatRegistryValueLine(std::string_view name, uint32_t type, std::string_view data);

// Appends the export of the key rootName\keyPath and its whole tree to *out.
// Writes nothing when the root name is unknown or the key cannot be opened.
// A subkey that cannot be entered gives an empty line and "Error"; at most
// 100 levels below the key are walked.
void ExportRegistryTree(const Registry& registry, std::string_view rootName,
                        std::string_view keyPath, std::string* out);

// Appends one block, an empty line, "[displayName]" and the line of the
// single value valueName of root\keyPath, to *out. Nothing when the key
// cannot be opened or the value read. Values of any size are exported.
void ExportRegistryValue(const Registry& registry, RootKey root, std::string_view keyPath,
                         std::string_view valueName, std::string* out,
                         std::string_view displayName);

}  // namespace tolvane
