// Compiles YARA rule text with the external variables the content check
// defines per file (filename, filepath, extension, filetype, owner) declared,
// for the user's own rules, the tests and the benchmarks.
// Errors: an empty result and the compiler's messages in *errors.
// Threads: any (each call has its own compiler).
#pragma once

#include <string>
#include <string_view>

#include "definitions/content_indicators.h"

namespace tolvane {

YaraRules CompileYaraRules(std::string_view source, std::string* errors);
// Writes compiled rules as `yara -C` reads them; false when it could not.
bool SaveYaraRules(YR_RULES* rules, const std::string& path);

}  // namespace tolvane
