// libFuzzer target: tolvane-db import's reader of file-name indicator lists
// ("REGEX;SCORE" lines under "# THREAT" headings) on untrusted text, then
// the markup and the report it writes of them.
//
// Checked: the markup never holds a zero byte (it would end the database
// there), every definition written has entries, the counts agree, and the
// report is valid JSON text (its dump throws on bad UTF-8).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/db/import/ioc_list.h"
#include "tools/db/import/markup.h"
#include "tools/db/import/report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tolvane::import;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    Result result;
    ReadFilenameIocs(text, "iocs.txt", {"https://x.example/iocs.txt", "An Author", "A license."},
                     &result);
    const Report& report = result.report;
    if (report.indicatorsConverted > report.indicatorsRead) std::abort();
    if (report.threatsConverted != static_cast<int>(result.definitions.size())) std::abort();
    for (const Definition& d : result.definitions)
        if (d.entries.empty()) std::abort();
    const std::string markup = DefinitionsMarkup(result.definitions, "", "1.0", "2026-01-01", "");
    if (markup.find('\0') != std::string::npos) std::abort();
    (void)ReportJson(report).dump();
    return 0;
}
