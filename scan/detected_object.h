// What a scan recognised: one object (file, folder, registry key or value,
// hosts entry) and the threat definition that recognised it, and the
// results of one scan with their counters.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "scan/object_type.h"

namespace tolvane {

struct ThreatDefinition;

// Separates a registry value's name from the data pattern that recognised it.
inline constexpr const char* kValueDataSeparator = ":@:";

// Where the scan met an object: among the machine's objects, or as a
// running program (the file a process runs, or a module it loaded).
enum class FoundAs { Object, Process, Module };

// What the content check found in a file: the YARA rule or the digest that
// matched, or what an extra checker (content_check.h) says.
struct ContentFinding {
    std::string source;             // "YARA", "MD5", "SHA-1", "SHA-256" or the checker's name
    std::string rule;               // the rule or signature name ("" for a digest)
    std::vector<uint64_t> offsets;  // where a few matching strings lie in the file
    std::string digest;             // the matching digest in hex ("" for a rule)
};

// "YARA rule TempStealer, strings at 103, 4096" or "SHA-256 9f86...": the
// finding in a line for the log and the details.
std::string ContentFindingText(const ContentFinding& finding);

struct DetectedObject {
    bool backupMark = false;                 // set by backup and removal
    ThreatDefinition* definition = nullptr;  // not owned
    ObjectType type = ObjectType::File;
    // A file or folder path; a registry key path without its root; a value's
    // full name (plus ":@:" and the data pattern when one recognised it); a
    // host name. For processes the process name or module path as listed.
    std::string objectText;
    FoundAs foundAs = FoundAs::Object;
    // The user profile the object was found in, on a machine of several
    // users ("" for the machine's own objects and on a machine of one user).
    // Another user's registry object names its key below HKEY_USERS in
    // objectText ("SID\\Software\\..."), so that removing it acts on that
    // user's hive.
    std::string profile;
    // Set for a file recognised by its content; shared by the row's copies.
    std::shared_ptr<const ContentFinding> content;
};

// " (profile NAME)" after the object text of an object found in a profile,
// else "".
inline std::string ProfileSuffix(const DetectedObject& object) {
    return object.profile.empty() ? std::string() : " (profile " + object.profile + ")";
}

// The nine counters of a scan as plain numbers.
struct ScanCounterValues {
    int32_t objectsScanned = 0;
    int32_t objectsIgnored = 0;
    int32_t objectsRecognised = 0;
    int32_t objectsNew = 0;
    int32_t registryKeysRecognised = 0;
    int32_t registryValuesRecognised = 0;
    int32_t filesRecognised = 0;
    int32_t foldersRecognised = 0;
    int32_t processesRecognised = 0;
};

// The counters while a scan runs. Only the scan worker writes them; they are
// atomic so that any thread may read them at any time (values of a running
// scan are a moment's view).
struct ScanCounters {
    std::atomic<int32_t> objectsScanned{0};
    std::atomic<int32_t> objectsIgnored{0};
    std::atomic<int32_t> objectsRecognised{0};
    std::atomic<int32_t> objectsNew{0};
    std::atomic<int32_t> registryKeysRecognised{0};
    std::atomic<int32_t> registryValuesRecognised{0};
    std::atomic<int32_t> filesRecognised{0};
    std::atomic<int32_t> foldersRecognised{0};
    std::atomic<int32_t> processesRecognised{0};

    void Reset();
    ScanCounterValues Values() const;
};

// The nine counters by the names the terminal face prints them with, in
// that order, with where each stands while a scan runs and after it.
struct ScanCounterField {
    const char* name;
    std::atomic<int32_t> ScanCounters::*live;
    int32_t ScanCounterValues::*value;
};
inline constexpr ScanCounterField kScanCounterFields[] = {
    {"objectsScanned", &ScanCounters::objectsScanned, &ScanCounterValues::objectsScanned},
    {"objectsIgnored", &ScanCounters::objectsIgnored, &ScanCounterValues::objectsIgnored},
    {"objectsRecognised", &ScanCounters::objectsRecognised, &ScanCounterValues::objectsRecognised},
    {"objectsNew", &ScanCounters::objectsNew, &ScanCounterValues::objectsNew},
    {"registryKeysRecognised", &ScanCounters::registryKeysRecognised,
     &ScanCounterValues::registryKeysRecognised},
    {"registryValuesRecognised", &ScanCounters::registryValuesRecognised,
     &ScanCounterValues::registryValuesRecognised},
    {"filesRecognised", &ScanCounters::filesRecognised, &ScanCounterValues::filesRecognised},
    {"foldersRecognised", &ScanCounters::foldersRecognised, &ScanCounterValues::foldersRecognised},
    {"processesRecognised", &ScanCounters::processesRecognised,
     &ScanCounterValues::processesRecognised},
};

// The results of the current (or last) scan. Owned by the scan engine and
// reset when the next scan starts: nothing may keep the objects beyond that.
// The lists are written by the scan worker; other threads read them only
// inside a scan message or once the scan has finished.
struct ScanResults {
    // Every recognised object, in the order found.
    std::vector<std::unique_ptr<DetectedObject>> allObjects;
    // Those the ignore list does not hold, in the same order.
    std::vector<DetectedObject*> listedObjects;
    ScanCounters counters;

    void Reset();
};

}  // namespace tolvane
