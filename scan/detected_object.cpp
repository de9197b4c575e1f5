#include "scan/detected_object.h"

namespace tolvane {

const char* ObjectTypeText(int type) {
    switch (type) {
        case 1:
            return "File";
        case 2:
            return "Folder";
        case 3:
            return "Registry Key";
        case 4:
            return "Registry Value";
        case 6:
            return "Host File Item";
        default:
            return "";
    }
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
