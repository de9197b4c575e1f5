// ArchiveReader: extracts a zip archive through minizip's unzip into an
// output folder of the machine.
//
// Archives may come from elsewhere and are not trusted: an entry whose name
// is absolute, names a drive or stream (a colon), or has "." or ".." parts
// is not extracted; names are created below the output folder only, through
// the machine layer. An entry whose data does not arrive whole (a write
// refused, the disk full, a damaged entry failing its checksum) leaves no
// file behind; the extraction goes on with the next entry and reports
// failure at its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tolvane {

class File;
class FileSystem;

class ArchiveReader {
  public:
    explicit ArchiveReader(FileSystem& files);
    ~ArchiveReader();
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    // Opens the archive at the Windows path. False when it is no zip archive.
    bool Open(std::string_view path);
    // Fails when the path is a file; otherwise creates it (parents first)
    // when missing.
    bool SetOutputFolder(std::string_view folder);
    // Extracts every entry in archive order. With ignoreFolderNames only the
    // entries' file names are kept. False without an archive or output
    // folder, for an archive without entries, and when an entry could not be
    // extracted (unsafe names are skipped, not failures).
    bool ExtractAll(bool ignoreFolderNames);
    void Close();

    // Limits on what one ExtractAll writes, against archives that unpack to
    // far more than they hold: it stops before the bytes written would pass
    // maxBytes, or pass maxRatio times the archive's size once they are past
    // kRatioGrace (so that a small backup of very compressible files, a
    // zeroed log say, still restores). 0 means no limit. The entry being
    // written when it stops leaves no file.
    static constexpr uint64_t kRatioGrace = 16ull << 20;
    void SetLimits(uint64_t maxBytes, uint64_t maxRatio);
    enum class Stop { None, Space, Ratio };
    Stop Stopped() const { return stopped_; }

    size_t FilesExtracted() const { return filesExtracted_; }
    size_t EntriesRefused() const { return entriesRefused_; }

  private:
    bool ExtractCurrent(bool ignoreFolderNames);
    // Writes the current entry's bytes into out: false when the entry cannot
    // be read, fails its checksum, passes a limit or a write fails.
    bool CopyCurrentEntry(File* out);
    FileSystem& files_;
    // Counts n more bytes written; false (and stopped_ set) past a limit.
    bool Allow(size_t n);
    void* unz_ = nullptr;  // unzFile
    std::string output_;
    uint64_t archiveSize_ = 0;
    uint64_t maxBytes_ = 0;
    uint64_t maxRatio_ = 0;
    uint64_t written_ = 0;
    Stop stopped_ = Stop::None;
    size_t filesExtracted_ = 0;
    size_t entriesRefused_ = 0;
};

// Creates the folder, which must not exist yet (a work folder of Tolvane's
// own), after its missing parents.
bool CreateNewFolder(FileSystem& files, const std::string& folder);

}  // namespace tolvane
