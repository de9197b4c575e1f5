// What a Windows program or library (a PE file) says of itself: the company,
// product and description of its version resource, and whether it carries an
// Authenticode signature. The signature is only seen to be present (the
// optional header's security directory names a certificate table inside the
// file); it is not verified against any trust store, so a file may claim one
// it does not deserve.
//
// Reads the bytes given only: every offset and size is checked against them,
// every loop is bounded, and damaged or hostile input gives a problem text,
// never a failure or a read past the bytes. Pure; thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tolvane {

struct PeFacts {
    bool isPe = false;  // an MZ header leading to a PE header and an optional header
    // From the version resource (its US English string table if it has one,
    // else its first), in the Windows code page (CP1252), control characters
    // made spaces, at most kPeTextLimit characters each; "" when absent.
    std::string company;      // CompanyName
    std::string product;      // ProductName
    std::string description;  // FileDescription
    bool signature = false;   // a certificate table is present (not verified)
    std::string problem;      // why the version resource could not be read, "" when it could
};

inline constexpr size_t kPeTextLimit = 256;

// bytes: the file's first bytes (the whole file, or as many as the caller
// would read); fileSize: the size of the whole file, which the certificate
// table at its end must lie within.
PeFacts ReadPeFacts(std::string_view bytes, uint64_t fileSize);

}  // namespace tolvane
