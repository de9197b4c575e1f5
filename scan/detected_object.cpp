#include "scan/detected_object.h"

namespace tolvane {

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
    for (std::atomic<int32_t>* counter :
         {&objectsScanned, &objectsIgnored, &objectsRecognised, &objectsNew,
          &registryKeysRecognised, &registryValuesRecognised, &filesRecognised, &foldersRecognised,
          &processesRecognised})
        counter->store(0);
}

ScanCounterValues ScanCounters::Values() const {
    ScanCounterValues v;
    v.objectsScanned = objectsScanned.load();
    v.objectsIgnored = objectsIgnored.load();
    v.objectsRecognised = objectsRecognised.load();
    v.objectsNew = objectsNew.load();
    v.registryKeysRecognised = registryKeysRecognised.load();
    v.registryValuesRecognised = registryValuesRecognised.load();
    v.filesRecognised = filesRecognised.load();
    v.foldersRecognised = foldersRecognised.load();
    v.processesRecognised = processesRecognised.load();
    return v;
}

void ScanResults::Reset() {
    listedObjects.clear();
    allObjects.clear();
    counters.Reset();
}

}  // namespace tolvane
