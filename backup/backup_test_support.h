// Test support for the backup folder: crafting archives by hand, as an
// attacker or another program would write them, and a removal flow wired to
// a backup as the main window wires them.
#pragma once

#include <gtest/gtest.h>
#include <minizip/zip.h>

#include <string>

#include "backup/backup_archive.h"
#include "removal/removal_flow.h"
#include "removal/removal_test_support.h"

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

// A removal flow whose backup command saves rows' checked objects to the
// default archive; the view answers from its script (every question Yes
// when it is empty).
struct RemovalWithBackup {
    RemovalWithBackup(Machine& machine, SettingsStore& settings, ObjectRemover& remover,
                      TestRows& rows)
        : flow(machine, settings, remover, view), backup(machine, view) {
        flow.SetBackupCommand([this, &rows] { return backup.MarkCheckedForBackup(rows); });
        view.savePaths = {BackupArchive::DefaultArchivePath()};
    }
    RemovalWithBackup(const RemovalWithBackup&) = delete;
    RemovalWithBackup& operator=(const RemovalWithBackup&) = delete;

    TestView view;
    RemovalFlow flow;
    BackupArchive backup;
};

}  // namespace tolvane::testing
