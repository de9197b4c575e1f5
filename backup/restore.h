// RestoreBackup: brings back what a backup archive saved. The archive is
// extracted into the work folder "%TEMP%\TolvanBK" (emptied first, so that
// nothing of an earlier restore is taken for this one's), its
// regbackup.reg is imported into the machine's registry (what
// "regedit.exe /i" does here) before anything is deleted, and every copy
// named in Config.ini is moved back to its recorded path, creating the
// missing folders. An entry that cannot be extracted (the disk full) leaves
// no torn file and does not keep the others back.
//
// Archives may come from elsewhere: entries that would land outside the
// work folder are not extracted (archive_reader.h), copy numbers must be
// plain numbers, recorded paths must be full paths of the machine's drives,
// restores go only to drives whose folder lies inside the prefix (C:, not Z: = /,
// which would let an archive plant files anywhere on the host), no write
// follows a link off its drive (file_system.h), and nothing that exists is
// replaced (a folder copy whose folder exists
// again is merged into it file by file, keeping what is there).
//
// Hosts lines saved in hostsbackup.ini go back into the hosts file they
// came from (one of the machine's four hosts paths, no other file), each
// only when the file has no equal line.
//
// Folder copies are read in both layouts: as a numbered folder of their own
// ("N/relative/path" entries), and in the flat layout where a folder's files
// lie beside the other entries under their own names; those are moved into
// the recorded folder when exactly one record found no copy of its number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tolvane {

class Machine;
class RemovalView;

// A restore stops before it fills the disk or unpacks an archive to more
// than 100 times its size (as a crafted archive does: 4 MB that unpack to
// 4 GiB), deletes its partial work folder and says so. The space it may use
// is the free space of the work folder's file system less a margin of 16 MiB
// and a twentieth of that free space, for the system and the files the
// restore then moves.
inline constexpr uint64_t kRestoreMaxRatio = 100;
inline constexpr const char* kRestoreStoppedForSpace =
    "The restore was stopped: unpacking the archive would leave too little free disk "
    "space.\nIts partial work folder was deleted; nothing was restored.";
inline constexpr const char* kRestoreStoppedForRatio =
    "The restore was stopped: the archive unpacks to more than 100 times its size, which no "
    "backup does.\nIts partial work folder was deleted; nothing was restored.";

struct RestoreReport {
    bool archiveOpened = false;
    // Why the extraction stopped (the work folder is gone then): "" when it
    // did not.
    std::string stoppedBecause;
    bool extractedAll = false;
    size_t entriesRefused = 0;  // unsafe entry names
    bool registryImported = false;
    bool manifestRead = false;
    size_t restored = 0;               // copies moved back
    size_t skipped = 0;                // records whose copy could not be moved back
    size_t alreadyThere = 0;           // records not moved back as their path exists
    size_t filesRestored = 0;          // of restored: file copies
    size_t foldersRestored = 0;        // of restored: folder copies
    size_t registryRestored = 0;       // saved registry rows (a key or a value) imported
    size_t registryNotRestored = 0;    // refused by the registry, or no readable file
    size_t hostsLinesRestored = 0;     // hosts lines added back
    size_t hostsLinesNotRestored = 0;  // hosts lines whose file could not be written
    size_t hostsLinesPresent = 0;      // hosts lines the file holds already
};

namespace restore_text {
inline constexpr const char* kNotOpened =
    "The backup archive could not be opened. Nothing was restored.";
// "Restored: 1 files, 0 folders, 3 registry keys and values, 2 hosts lines."
// (each saved registry row counting once); when something could not be
// restored, a line "Not restored: ..." with the files or folders, registry
// keys and values and hosts lines; when some were there already (a second
// restore of one archive), a line "Not restored because they already exist:
// N files or folders, M hosts lines."
std::string Summary(const RestoreReport& report);
}  // namespace restore_text

// The menu command: asks for the archive, restores it and says what was
// restored and what could not be (restore_text). Refuses at once, with the
// caption "Error", while the machine refuses changes (Machine::ChangesRefusal).
void RestoreBackup(Machine& machine, RemovalView& view);

// Restores the archive at the Windows path.
RestoreReport RestoreArchive(Machine& machine, const std::string& archivePath);

// "%TEMP%\TolvanBK"
std::string RestoreWorkFolder(const Machine& machine);

}  // namespace tolvane
