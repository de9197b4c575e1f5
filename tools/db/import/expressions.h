// Path expressions from the sources: the indicators the wildcard entries
// cannot state exactly (a character class, a repetition, a partial path
// below a folder no placeholder stands for) kept as regular expressions over
// a file's Windows path (definitions/path_expressions.h), checked with the
// very options the scan compiles them with.
#pragma once

#include <optional>
#include <string_view>

#include "tools/db/import/mapping.h"
#include "tools/db/import/model.h"

namespace tolvane::import {

// The reasons a file-name indicator list's expression stays refused when
// its wildcard form is: it names no Windows file (a Unix path, an NTFS
// stream, which the walks never list, an unknown variable).
bool RefusalStandsForExpressions(std::string_view reason);

// A file-name indicator list's expression and its false-positive
// expression (empty for none) as a FileExpression entry; refused when RE2
// cannot compile either.
std::optional<Entry> FileExpressionEntry(std::string_view expression, std::string_view exclusion,
                                         Refusal* why);

// A path fragment as a FileExpression entry: its text literal but for `*`
// (a run within one name) and `?` (one character of a name), tied to the
// path's start or end where the fragment is anchored. Refused when it holds
// a control character or is no more than an extension or a wildcard (it
// would list files of every machine).
std::optional<Entry> FragmentExpressionEntry(const PathFragment& fragment, Refusal* why);

}  // namespace tolvane::import
