// libFuzzer target: tolvane-db import's reader of MISP event files (JSON)
// on untrusted text, then the markup and the report it writes of them.
//
// Checked as for the indicator lists (ioc_list_fuzz.cpp): no zero byte in
// the markup, no definition without entries, counts that agree, a report
// that dumps as JSON.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/db/import/markup.h"
#include "tools/db/import/misp.h"
#include "tools/db/import/report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tolvane::import;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    Result result;
    ReadMispFile(text, "evilfam/event.json", {"https://x.example/ioc", "", "A license."}, &result);
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
