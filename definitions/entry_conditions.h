// EntryConditions: what an entry asks of an object besides its own name or
// path. An object is listed only when every condition holds and no
// exclusion does; an exclusion holds when all its conditions do.
//
// A condition compares a text of the object without regard to case (code
// page 1252): its path (a file's Windows path; a registry key's or value's
// path below its root, written with a leading backslash) or a registry
// value's data (read as text up to its first zero byte).
//
// The markup: the entries that carry conditions stand in a CONDITIONAL
// child of SW after DESCRIPTION (and after HASHES and RULES), where readers
// that know no conditions never look, so those readers see fewer entries,
// never broader ones:
//   <CONDITIONAL>
//     <FILE NAME="*.dmp">
//       <IF HOW="contains" TEXT="\temp\sam-"/>
//       <ANY><IF HOW="contains" TEXT="\a\"/><IF HOW="contains" TEXT="\b\"/></ANY>
//       <UNLESS><IF HOW="startswith" TEXT="%windir%\"/></UNLESS>
//     </FILE>
//     <REGVALUE NAME="Software\...\Run\ntkd*" MATCH="wildcard">
//       <IF ON="data" HOW="endswith" TEXT=".exe"/>
//     </REGVALUE>
//     <REGKEY NAME="..."/>
//   </CONDITIONAL>
// ANY holds when one of its IFs does; an UNLESS holds when all its IFs and
// ANYs do. ON is "path" (also when absent) or "data"; HOW is "equals", "contains", "startswith" or
// "endswith"; placeholders in TEXT are resolved. ON="dword" HOW="equals"
// TEXT="1" compares the number of a REG_DWORD value (decimal, at most
// 4294967295); it never holds for a value of another type. An entry with a condition
// this reader does not know, or an IF of another ON than "path" on a file or
// key, is not read at all: skipping the condition would list more.
//
// Threads: a read EntryConditions is immutable and may be asked from any
// thread. Nothing here throws.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "definitions/placeholders.h"

namespace tolvane {

class MarkupParser;

enum class ConditionPart { Path, Data, Dword };
enum class ConditionTest { Equals, Contains, StartsWith, EndsWith };

struct TextCondition {
    ConditionPart part = ConditionPart::Path;
    ConditionTest test = ConditionTest::Contains;
    std::string text;         // placeholders resolved
    std::string loweredText;  // the same, lower-cased
    uint32_t number = 0;      // for Dword, which only tests Equals
};

// Holds when any of its conditions does.
using AnyCondition = std::vector<TextCondition>;

struct EntryConditions {
    std::vector<AnyCondition> all;
    std::vector<std::vector<AnyCondition>> exclusions;

    // The object's path as above and its data (empty for a file or key);
    // dword is the number of a REG_DWORD value, absent for other types.
    bool Accepts(std::string_view path, std::string_view data,
                 std::optional<uint32_t> dword = std::nullopt) const;
    // Whether any condition or exclusion reads the data (or the number).
    bool ReadsData() const;
    // A text the data must contain whenever the conditions hold (that of
    // the first condition on the data without alternatives); empty if none.
    // Removal checks it again before it deletes a value.
    std::string RequiredDataText() const;
};

// Reads the IF, ANY and UNLESS children of the current element (the parser has
// entered it). Null when it has none; false when one of them is not
// understood (or asks for data where `dataAllowed` is false) and the entry
// must be dropped.
bool ReadEntryConditions(MarkupParser& parser, const PlaceholderFolders& folders, bool dataAllowed,
                         std::shared_ptr<const EntryConditions>* out);

// A registry path below its root as conditions compare it: with one
// leading backslash.
std::string RegistryConditionPath(std::string_view keyPath, std::string_view valueName,
                                  bool isValue);

}  // namespace tolvane
