// The translation rules of the definitions importer: how an indicator as a
// source writes it (a registry path with its root, Sysmon's print of value
// data, a Windows path with environment variables, a regular expression)
// becomes an entry that the scan compares. Every rule is exact or narrower:
// an indicator that would have to match more than it says is refused, with
// the reason, and the caller leaves it out. Names compare without regard to
// case here as on Windows, so a case-sensitive indicator becomes a
// case-blind entry.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/db/import/model.h"

namespace tolvane::import {

// A translation or the reason there is none.
struct Refusal {
    std::string reason;
};

// A byte below 32 or 127 (a NUL, a tab, an escape): no Windows name holds
// one, and a NUL would end the markup, so the path and registry rules below
// refuse a name holding one with this reason. Value data may hold such
// bytes (a DWORD's), but no zero byte.
inline constexpr std::string_view kControlCharacterReason =
    "control character (a byte below 32, or 127) in the indicator";
bool HasControlCharacter(std::string_view text);

// --- Registry ---

// Strips the root a source writes ("HKLM\", "HKEY_CURRENT_USER\",
// "HKU\<SID>\", "\REGISTRY\MACHINE\", a leading backslash before a hive's
// top key such as "\SOFTWARE\"). Keys keep an HKCR path as it is (the scan
// tries HKEY_CLASSES_ROOT first); values move it below "Software\Classes",
// since values are looked for under HKEY_CURRENT_USER and
// HKEY_LOCAL_MACHINE only. CurrentControlSet stays as written. A path that
// may start below a hive's top key ("\CurrentVersion\Run\x") is refused.
std::optional<std::string> RegistryPathWithoutRoot(std::string_view written, bool forValue,
                                                   Refusal* why);

inline constexpr std::string_view kNoRootReason =
    "registry path may start below a hive's top key (no root)";

// A registry path written without a root whose first key names a subtree
// that lives in known places ("\Microsoft\...", "\Services\..."): its
// paths below the roots, one for each place, which find a part of what the
// source matches anywhere. "\Classes\..." is not among them: the rules
// mean a user's classes that override the machine's, and a path below
// HKLM\SOFTWARE\Classes names the stock handlers they override (the
// default value of exefile\shell\open\command). *places says where, for
// the description ("HKLM\SYSTEM\CurrentControlSet"). Refused with
// kNoRootReason when the first key names no such subtree.
std::optional<std::vector<std::string>> RegistryPathsBelowSubtree(std::string_view written,
                                                                  bool forValue,
                                                                  std::string* places,
                                                                  Refusal* why);

// The REGVALUE name of a value path "key\name": "(Default)" names the
// default value, which the markup writes as an empty name after the last
// backslash.
std::optional<std::string> RegistryValueText(std::string_view pathWithoutRoot, Refusal* why);

// How a source compares value data with its text.
enum class DataMatch { Equals, Contains, StartsWith, EndsWith };

inline constexpr std::string_view kDwordFormReason =
    "DWORD data not in Sysmon's form \"DWORD (0x%08x)\"";
// A DWORD equality DataPattern cannot state; the caller compares the
// number instead (a Condition with dword set).
inline constexpr std::string_view kDwordZeroByteReason =
    "DWORD whose bytes hold a zero: the scan reads data up to the first zero byte and tests "
    "containment, so other numbers would match";

// The number of Sysmon's print of a DWORD, "DWORD (0x0000002a)".
std::optional<uint32_t> SysmonDword(std::string_view text);

// The ":@:" pattern for a data condition, as the registry phase compares it:
// the value's bytes up to the first zero byte, both sides lower-cased, the
// pattern contained. Sysmon prints a DWORD as "DWORD (0x0000002a)"; the scan
// sees its four little-endian bytes up to the first zero, so only a number
// whose four bytes are all non-zero and without letters or line ends is
// exact. Other conditions are exact only for "contains".
std::optional<std::string> DataPattern(std::string_view details, DataMatch match, Refusal* why);

// --- Files and folders ---

// A piece of a Windows path as an indicator gives it: `*` and `?` are
// wildcards (`*` within one name), the rest literal. An unanchored start
// means the path may have anything before the text; an unanchored end,
// anything after it.
struct PathFragment {
    std::string text;
    bool anchoredStart = false;
    bool anchoredEnd = true;
};

// A path written from a drive's root without the drive's letter
// (":\Windows\x.dll"): it means that path on any drive. PathEntry refuses it
// with kOmittedDriveReason, since an entry names one place; a ':' anywhere
// else is an NTFS stream's, refused as such.
bool StartsWithOmittedDrive(std::string_view path);
inline constexpr std::string_view kOmittedDriveReason =
    "path from the root of any drive (the drive letter left out)";

// Replaces %APPDATA%, %LOCALAPPDATA%, %TEMP%, %ProgramFiles(x86)% ... by the
// definitions' placeholders; an unknown variable is refused.
std::optional<std::string> EnvironmentToPlaceholders(std::string_view path, Refusal* why);

// Why a partial path is refused (the Sigma reader keeps such a fragment as a
// path expression instead).
inline constexpr std::string_view kPartialPathReason =
    "partial path below a folder no placeholder stands for";

// The FILE or DIR entry for a path fragment: a full path ("C:\...", a
// placeholder first), a bare file name ("\name.exe", which the file lookup
// finds in drive roots), or a partial path whose first names end a folder a
// placeholder stands for ("\AppData\Roaming\x" becomes "%appdata%\x",
// "ystem32\x" becomes "%system%\x"). A trailing backslash names a folder.
std::optional<Entry> PathEntry(const PathFragment& fragment, Refusal* why);

// --- Regular expressions ---

// The exact wildcard forms of a regular expression over file paths: escapes,
// "^" and "$", ".*" inside one name, small alternations and optional parts
// expanded into several fragments (at most kMaxAlternatives), character
// classes of one character (or one letter in both cases), "(?i)" at the
// start. Anything else is refused.
inline constexpr size_t kMaxAlternatives = 8;
std::optional<std::vector<PathFragment>> RegexFragments(std::string_view regex, Refusal* why);

// --- Texts ---

// A definition name the markup, the results list and the details keep as it
// stands: printable ASCII, typographic quotes and dashes made plain, markup
// characters dropped, at most 80 characters.
std::string PlainName(std::string_view utf8);

}  // namespace tolvane::import
