// Compiles YARA rule source the way every compiled-rules member is made:
// the external variables the content check sets per file (kYaraExternals)
// declared as empty strings, and no include followed (a rule file must not
// make the compiler read other files). The importer, `tolvane-db pack
// --rules`, the tests and the benchmarks all compile through here, so a
// rule that compiles for one compiles for all.
//
// Errors: false with the compiler's error messages, one a line ("line N:
// message"), in *errors; warnings are not reported.
// Threads: any (each call has its own compiler; libyara is started once).
// yara.h stays in the .cpp: see content_indicators.h.
#pragma once

#include <string>
#include <string_view>

#include "definitions/content_indicators.h"

namespace tolvane {

// The external variables compiled rules may use, declared as empty strings
// when rules are compiled and set per file by the scan, in this order: the
// base name, the folder as a Windows path without a trailing backslash, the
// extension in lower case with its dot, the type from the magic bytes, the
// owner's name.
inline constexpr const char* kYaraExternals[] = {"filename", "filepath", "extension", "filetype",
                                                 "owner"};

bool CompileYaraRules(std::string_view source, YaraRules* rules, std::string* errors);

// Writes compiled rules as `yara -C` reads them; false when it could not.
bool SaveYaraRules(YR_RULES* rules, const std::string& path);

}  // namespace tolvane
