// The update description files the update server offers (one per product,
// e.g. /tolvane/update.txt): which version is available, where to fetch it,
// and the size and SHA-256 a download must have to count. The format is
// described in update/README.md.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tolvane {

// A description file larger than this is refused unread.
inline constexpr size_t kMaxUpdateDescriptionBytes = 64 * 1024;
// The largest download a description may announce (1 GiB).
inline constexpr uint64_t kMaxUpdateDownloadBytes = uint64_t{1} << 30;

struct UpdateDescription {
    double version = 0;       // the offered version, e.g. 3.46 or 16
    std::string versionText;  // as written, e.g. "3.46"
    std::string file;         // path on the update server, "/tolvane/files/database-16.db"
    std::string fileName;     // its last component, the name the download is kept under
    uint64_t size = 0;        // bytes, 1 .. kMaxUpdateDownloadBytes
    std::string sha256;       // 64 lower-case hex digits
    std::string date;         // the day it was published, "2026-12-09"
    std::string product;      // what it offers: kProgramProduct or kDefinitionsProduct
};

inline constexpr char kProgramProduct[] = "program";
inline constexpr char kDefinitionsProduct[] = "definitions";

// True for a date written as the descriptions write theirs: "YYYY-MM-DD", a
// day that exists. Such dates compare correctly as text.
bool IsUpdateDate(std::string_view text);

// Reads a description. False, with *error saying what and on which line,
// for anything that is not a complete, well-formed description.
bool ParseUpdateDescription(std::string_view text, UpdateDescription* description,
                            std::string* error);

}  // namespace tolvane
