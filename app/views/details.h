// The Summary of the last scan and the Object Details of one list row: the
// texts the two small display-only dialogs show.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tolvane {

class ThreatDatabase;
struct ListRow;

inline constexpr const char* kSummaryTitle = "Summary";
inline constexpr const char* kObjectDetailsTitle = "Object Details";
// Starts the description's last line for a file found by its content.
inline constexpr const char* kFoundByContentLabel = "Found by its content: ";

// The counters the Summary shows, as the scan left them.
struct SummaryCounts {
    int registryKeysRecognised = 0;
    int registryValuesRecognised = 0;
    int foldersRecognised = 0;
    int filesRecognised = 0;
    int processesRecognised = 0;
    int objectsIgnored = 0;
    int objectsNew = 0;
};

struct SummaryTexts {
    // (label, value) pairs: the five rows on the left, then "Objects in
    // Ignore list :", "Total objects recognized :" and "New objects :".
    std::vector<std::pair<std::string, std::string>> left;
    std::vector<std::pair<std::string, std::string>> right;
};
SummaryTexts MakeSummary(const SummaryCounts& counts);

struct ObjectDetails {
    std::string vendor;
    std::string category;
    std::string objectType;
    std::string danger;  // empty when opened from the Ignore List dialog
    std::string location;
    std::string description;
    std::string size;  // hidden, always empty
};
// The details of a row; the definition is found by the row's vendor text
// (exact, first in database order). A row found by its content has its
// finding as the description's last line. A vendor that names no definition gives
// the row's texts with empty danger and description.
ObjectDetails MakeObjectDetails(const ListRow& row, const ThreatDatabase& database,
                                bool fromIgnoreList);

}  // namespace tolvane
