#include "app/views/details.h"

#include "app/views/check_list.h"
#include "definitions/threat_database.h"

namespace tolvane {

SummaryTexts MakeSummary(const SummaryCounts& c) {
    auto number = [](int value) { return std::to_string(value); };
    SummaryTexts texts;
    texts.left = {
        {"Registry keys recognized :", number(c.registryKeysRecognised)},
        {"Registry values recognized :", number(c.registryValuesRecognised)},
        {"Folders recognized :", number(c.foldersRecognised)},
        {"Files recognized :", number(c.filesRecognised)},
        {"Processes recognized :", number(c.processesRecognised)},
    };
    texts.right = {
        {"Objects in Ignore list :", number(c.objectsIgnored)},
        {"Total objects recognized :", number(c.objectsNew + c.objectsIgnored)},
        {"New objects :", number(c.objectsNew)},
    };
    return texts;
}

ObjectDetails MakeObjectDetails(const ListRow& row, const ThreatDatabase& database,
                                bool fromIgnoreList) {
    auto cut = [](const std::string& text) { return text.substr(0, 255); };
    ObjectDetails details;
    details.vendor = cut(row.vendor);
    details.category = cut(row.category);
    details.objectType = cut(row.type);
    details.location = cut(row.object);
    for (const auto& definition : database.definitions()) {
        if (definition->name != details.vendor) continue;
        if (!fromIgnoreList) details.danger = definition->danger;
        details.description = definition->description;
        break;
    }
    // A file found by its content says by what, below the definition's own
    // text (which names the rule's author, reference and license).
    if (row.detected && row.detected->content)
        details.description +=
            "\n" + std::string(kFoundByContentLabel) + ContentFindingText(*row.detected->content);
    return details;
}

}  // namespace tolvane
