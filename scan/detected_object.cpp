#include "scan/detected_object.h"

namespace tolvane {

std::string ContentFindingText(const ContentFinding& finding) {
    std::string text = finding.source;
    if (!finding.rule.empty()) text += (finding.source == "YARA" ? " rule " : " ") + finding.rule;
    if (!finding.digest.empty()) text += " " + finding.digest;
    for (size_t i = 0; i < finding.offsets.size(); ++i)
        text += (i == 0 ? ", strings at " : ", ") + std::to_string(finding.offsets[i]);
    return text;
}

const char* ObjectTypeText(ObjectType type) {
    switch (type) {
        case ObjectType::File:
            return "File";
        case ObjectType::Folder:
            return "Folder";
        case ObjectType::RegistryKey:
            return "Registry Key";
        case ObjectType::RegistryValue:
            return "Registry Value";
        case ObjectType::HostFileItem:
            return "Host File Item";
    }
    return "";
}

void ScanCounters::Reset() {
    for (const ScanCounterField& field : kScanCounterFields) (this->*field.live).store(0);
}

ScanCounterValues ScanCounters::Values() const {
    ScanCounterValues v;
    for (const ScanCounterField& field : kScanCounterFields)
        v.*field.value = (this->*field.live).load();
    return v;
}

void ScanResults::Reset() {
    listedObjects.clear();
    allObjects.clear();
    counters.Reset();
}

}  // namespace tolvane
