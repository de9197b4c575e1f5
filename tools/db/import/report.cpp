#include "tools/db/import/report.h"

#include <algorithm>
#include <sstream>

#include "base/codepage.h"

namespace tolvane::import {

nlohmann::ordered_json ReportJson(const Report& report) {
    using nlohmann::ordered_json;
    auto show = [](const std::string& s) { return Cp1252ToUtf8(s); };
    ordered_json j;
    j["files"] = {{"read", report.filesRead}, {"skipped", report.filesSkipped}};
    j["threats"] = {{"read", report.threatsRead}, {"converted", report.threatsConverted}};
    j["indicators"] = {{"read", report.indicatorsRead},
                       {"converted", report.indicatorsConverted},
                       {"leftOut", report.indicatorsRead - report.indicatorsConverted}};
    ordered_json bySource = ordered_json::object();
    for (const auto& [kind, counts] : report.bySource)
        bySource[kind] = {{"read", counts.read},
                          {"converted", counts.converted},
                          {"leftOut", counts.read - counts.converted}};
    j["indicatorsBySource"] = bySource;
    j["entriesOnCleanMachines"] = report.entriesOnCleanMachines;
    ordered_json reasons = ordered_json::object();
    for (const auto& [reason, count] : report.ByReason()) reasons[show(reason)] = count;
    j["leftOutByReason"] = reasons;
    ordered_json items = ordered_json::array();
    for (const LeftOut& l : report.leftOut)
        items.push_back({{"where", show(l.where)},
                         {"indicator", show(l.indicator)},
                         {"reason", show(l.reason)}});
    j["leftOut"] = items;
    return j;
}

std::string ReportSummary(const Report& report) {
    std::ostringstream out;
    out << "files: " << report.filesRead << " read, " << report.filesSkipped << " skipped\n"
        << "threats: " << report.threatsRead << " read, " << report.threatsConverted
        << " converted into definitions\n"
        << "indicators: " << report.indicatorsRead << " read, " << report.indicatorsConverted
        << " converted, " << report.indicatorsRead - report.indicatorsConverted << " left out\n";
    for (const auto& [kind, counts] : report.bySource)
        out << "  " << kind << ": " << counts.read << " read, " << counts.converted
            << " converted\n";
    out << "entries left out as found on clean machines: " << report.entriesOnCleanMachines << "\n"
        << "left out by reason (indicators, rules, files and entries):\n";
    std::vector<std::pair<int, std::string>> sorted;
    for (const auto& [reason, count] : report.ByReason()) sorted.push_back({count, reason});
    std::sort(sorted.rbegin(), sorted.rend());
    for (const auto& [count, reason] : sorted)
        out << "  " << count << "  " << Cp1252ToUtf8(reason) << "\n";
    return out.str();
}

}  // namespace tolvane::import
