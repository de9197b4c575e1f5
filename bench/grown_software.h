// A SOFTWARE hive grown in the shape of a real one, for the benchmarks of
// an offline Windows installation: classes, interfaces, type libraries, file
// types and a wide, deep tree of vendors' settings.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "testing/regf_builder.h"

namespace tolvane::bench {

using testing::RegfString;
using testing::RegfTreeKey;

inline constexpr uint32_t kSz = 1, kExpandSz = 2, kDword = 4;

inline std::string Guid(uint32_t n, uint32_t salt) {
    char text[48];
    std::snprintf(text, sizeof text, "{%08X-%04X-4A5B-9C8D-%012X}", n * 2654435761u, salt,
                  n * 40503u + salt);
    return text;
}

inline RegfTreeKey& Add(RegfTreeKey& parent, std::string name) {
    RegfTreeKey& key = parent.subkeys.emplace_back();
    key.name = std::move(name);
    return key;
}

inline void SetDefault(RegfTreeKey& key, std::string_view text) {
    key.values.push_back({"", kSz, RegfString(text)});
}

// Grows SOFTWARE by about keys keys; returns how many were added.
inline long GrowSoftware(RegfTreeKey& software, long keys) {
    RegfTreeKey& classes = software.Child("Classes");
    long unit = keys / 25;  // classes 3, interfaces 2, type libraries 1.2, file types 1.6
    long added = 0;
    RegfTreeKey& clsid = classes.Child("CLSID");
    for (long i = 0; i < unit; ++i, added += 3) {
        RegfTreeKey& key = Add(clsid, Guid(i, 1));
        SetDefault(key, "Component " + std::to_string(i));
        RegfTreeKey& server = Add(key, "InprocServer32");
        SetDefault(server, "C:\\Program Files\\Vendor" + std::to_string(i % 97) + "\\c" +
                               std::to_string(i) + ".dll");
        server.values.push_back({"ThreadingModel", kSz, RegfString("Both")});
        SetDefault(Add(key, "ProgID"), "Vendor.Component." + std::to_string(i));
    }
    RegfTreeKey& interfaces = classes.Child("Interface");
    for (long i = 0; i < unit; ++i, added += 2) {
        RegfTreeKey& key = Add(interfaces, Guid(i, 2));
        SetDefault(key, "IComponent" + std::to_string(i));
        SetDefault(Add(key, "ProxyStubClsid32"), Guid(i % 50, 3));
    }
    RegfTreeKey& typeLibs = classes.Child("TypeLib");
    for (long i = 0; i < unit / 4; ++i, added += 5) {
        RegfTreeKey& version = Add(Add(typeLibs, Guid(i, 4)), "1.0");
        SetDefault(version, "Library " + std::to_string(i));
        SetDefault(Add(Add(version, "0"), "win32"),
                   "C:\\Windows\\System32\\lib" + std::to_string(i) + ".tlb");
    }
    for (long i = 0; i < unit / 4; ++i, added += 4) {
        SetDefault(Add(classes, ".ext" + std::to_string(i)), "Vendor.File." + std::to_string(i));
        RegfTreeKey& command =
            Add(Add(Add(classes, "Vendor.File." + std::to_string(i)), "shell"), "open");
        SetDefault(Add(command, "command"), "\"C:\\Program Files\\App.exe\" \"%1\"");
    }
    // Vendors' settings: 100 vendors, 40 products each, keys of two values.
    RegfTreeKey& vendors = software.Child("Vendors");
    long perProduct = std::max(1L, (keys - added) / 4000);
    for (int v = 0; v < 100; ++v) {
        RegfTreeKey& vendor = Add(vendors, "Vendor" + std::to_string(v));
        for (int p = 0; p < 40; ++p) {
            RegfTreeKey& product = Add(vendor, "Product" + std::to_string(p));
            for (long s = 0; s < perProduct; ++s, ++added) {
                RegfTreeKey& setting = Add(product, "Setting" + std::to_string(s));
                setting.values.push_back(
                    {"Path", kSz, RegfString("C:\\ProgramData\\Vendor\\data")});
                setting.values.push_back({"Count", kDword, std::string("\x2A\0\0\0", 4)});
            }
        }
    }
    return added;
}

}  // namespace tolvane::bench
