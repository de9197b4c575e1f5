// Test support for the backup folder: crafting archives by hand, as an
// attacker or another program would write them.
#pragma once

#include <gtest/gtest.h>
#include <minizip/zip.h>

#include <string>

namespace tolvane::testing {

// Adds one deflated entry with this exact name (no checks of ours) to an
// archive opened with zipOpen64.
inline void AddZipEntry(zipFile zip, const std::string& name, const std::string& content) {
    ASSERT_EQ(zipOpenNewFileInZip(zip, name.c_str(), nullptr, nullptr, 0, nullptr, 0, nullptr,
                                  Z_DEFLATED, Z_DEFAULT_COMPRESSION),
              ZIP_OK);
    zipWriteInFileInZip(zip, content.data(), static_cast<unsigned>(content.size()));
    zipCloseFileInZip(zip);
}

}  // namespace tolvane::testing
