// The limits of the scan's content check (hashes and YARA rules over the
// files a walk meets), read from Tolvane's host settings (host_settings.h):
// a machine being cleaned may be the malware's, so nothing in its registry
// can turn the check off or widen what it skips.
//
// Host settings (settings.conf, "Name=value"):
//   ContentScan=0          turns the content check off (on by default whenever
//                          the definitions carry hashes or YARA rules)
//   ContentScanEveryFile=1 checks every regular file, not only executables,
//                          scripts, archives and documents (by magic bytes or
//                          extension)
//   ContentYaraCapMB=N     files above N MiB are not given to YARA (64)
//   ContentHashCapMB=N     files above N MiB are not read at all (2048); files
//                          between the two caps are checked by hash only
//   ContentYaraTimeout=S   seconds YARA may spend on one file (5)
// A value that is no positive number keeps the default.
// Errors: none; threads: any (each call reads the files anew).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tolvane {

struct ContentLimits {
    bool enabled = true;
    bool everyFile = false;
    uint64_t yaraCap = 64ull << 20;
    uint64_t hashCap = 2048ull << 20;
    int yaraTimeoutSeconds = 5;
};

// The limits from the user's, else the system's settings file.
ContentLimits ReadContentLimits();
// The same with a reader of one named setting ("" when unset): tests.
ContentLimits ContentLimitsFrom(std::string (*read)(std::string_view name));

}  // namespace tolvane
