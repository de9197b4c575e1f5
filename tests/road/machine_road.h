// The road every kind of machine takes, driven through the flows as the main
// window drives them: a Smart scan, every row checked and removed with a
// backup, then the archive restored. Each kind of machine instantiates it
// (INSTANTIATE_TYPED_TEST_SUITE_P) with a type that makes the machine and
// says what the road must find, leave and bring back there:
//
//   static constexpr const char* kName; the test's name
//   void Make();                     the machine with its traces (may GTEST_SKIP)
//   Machine& machine();
//   void LoadDatabase(ThreatDatabase*);
//   void CheckFound(const RoadRun&);    after the scan
//   void CheckRemoved(RoadRun&);        after the removal (may run the -b start)
//   void CheckRestored(const RoadRun&); after the restore
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "backup/backup_archive.h"
#include "backup/backup_test_support.h"
#include "backup/restore.h"
#include "definitions/threat_database.h"
#include "machine/machine.h"
#include "removal/object_remover.h"
#include "removal/removal_flow.h"
#include "removal/removal_test_support.h"
#include "scan/scan_engine.h"
#include "settings/settings_store.h"

namespace tolvane::testing {

// One run of the road on a machine, for the kind's checks.
struct RoadRun {
    RoadRun(Machine& machine, ThreatDatabase& database)
        : settings(machine.registry()), engine(machine, database), remover(machine) {}

    SettingsStore settings;
    ScanEngine engine;
    TestRows rows;   // the scan's rows; after the removal, those still listed
    TestRows found;  // the scan's rows
    ObjectRemover remover;
    std::vector<std::string> unregistered;  // what the removal had regsvr32 unregister
    std::unique_ptr<RemovalWithBackup> removal;
    RestoreReport restored;
};

template <typename Kind>
class MachineRoad : public ::testing::Test {
  protected:
    Kind kind_;
};

TYPED_TEST_SUITE_P(MachineRoad);

TYPED_TEST_P(MachineRoad, ScanRemoveWithBackupAndRestore) {
    TypeParam& kind = this->kind_;
    ASSERT_NO_FATAL_FAILURE(kind.Make());
    if (::testing::Test::IsSkipped()) return;
    Machine& machine = kind.machine();
    ThreatDatabase database;
    ASSERT_NO_FATAL_FAILURE(kind.LoadDatabase(&database));
    RoadRun run(machine, database);
    run.settings.WriteInt(setting::kLastScanMode, static_cast<int>(ScanMode::Smart));
    run.engine.SetRegistryKeyPause(std::chrono::milliseconds(0));
    run.engine.RunScan();
    for (const DetectedObject* object : run.engine.Results().listedObjects)
        run.rows.Add(object->type, object->objectText);
    run.found = run.rows;
    ASSERT_NO_FATAL_FAILURE(kind.CheckFound(run));

    run.remover.SetHostsFiles(run.engine.HostsFiles());
    // regsvr32 is watched, not run: Wine would start the prefix's wineserver.
    machine.launcher().SetObserver([&run](const std::vector<std::string>& argv) {
        run.unregistered.push_back(argv.back());
        return true;
    });
    run.removal = std::make_unique<RemovalWithBackup>(machine, run.settings, run.remover, run.rows);
    // Backup: Yes; its success: OK; confirmation: Yes; browser reset: Yes;
    // its report: OK; then the final count.
    run.removal->view.answers = {PromptAnswer::Yes, PromptAnswer::Ok, PromptAnswer::Yes,
                                 PromptAnswer::Yes};
    ASSERT_TRUE(run.removal->flow.RunRemoval(run.rows, false));
    ASSERT_NO_FATAL_FAILURE(kind.CheckRemoved(run));

    run.restored = RestoreArchive(machine, BackupArchive::DefaultArchivePath());
    EXPECT_TRUE(run.restored.extractedAll);
    EXPECT_TRUE(run.restored.registryImported);
    kind.CheckRestored(run);
}

REGISTER_TYPED_TEST_SUITE_P(MachineRoad, ScanRemoveWithBackupAndRestore);

// Names each instantiation's test after its kind's kName.
struct RoadKindName {
    template <typename Kind>
    static std::string GetName(int) {
        return Kind::kName;
    }
};

}  // namespace tolvane::testing
