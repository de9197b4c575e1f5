// ArchiveWriter: a zip archive written through minizip, entries compressed
// with Deflate at the default level. Paths are Windows paths of the machine.
//
// The archive is assembled beside its target under the name TARGET.part and
// takes the target's place only when Close succeeds, so an earlier archive
// of the same name is never lost to a half-written one. Each entry carries
// its file's last-write time, which a restore puts back.
// The archive and its parts are made 0600: only their owner may read them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tolvane {

class FileSystem;

class ArchiveWriter {
  public:
    explicit ArchiveWriter(FileSystem& files);
    ~ArchiveWriter();  // an archive still open is abandoned (Close was not called)
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    // Creates a new archive at path; its folder becomes the base folder.
    bool Open(std::string_view path);
    // Adds a file. With storeWithoutFolder the entry is the file's name
    // alone; otherwise a relative path (no colon) is taken below the base
    // folder, ".\" is dropped, "..\" is refused, and an absolute path must
    // lie in the base folder: the entry is the part after it.
    bool AddFile(std::string_view path, bool storeWithoutFolder);
    // Adds every file below the folder, recursively, as AddFile does. An
    // unreadable folder adds nothing and counts as success.
    bool AddFolder(std::string_view path, bool storeWithoutFolder);
    // Adds a file under an entry name of the caller's ("3/sub/x.dll":
    // forward slashes separate; no absolute names, no ".." parts).
    bool AddFileAs(std::string_view path, std::string_view entryName);
    // Adds the folder's whole tree below entryPrefix: files as
    // "PREFIX/relative/path", empty folders (and the folder itself when it is
    // empty) as folder entries "PREFIX/relative/".
    bool AddFolderAs(std::string_view folder, std::string_view entryPrefix);
    // Finishes the archive and moves it to its place. False when anything
    // could not be written (the target then stays as it was).
    bool Close();

    // Drops the archive being written; the target stays as it was.
    void Abandon();

    bool IsOpen() const { return zip_ != nullptr; }
    size_t FilesAdded() const { return filesAdded_; }

  private:
    bool AddEntry(std::string_view sourcePath, const std::string& entryName);
    bool AddFolderEntry(const std::string& entryName);
    bool AddTree(const std::string& folder, const std::string& entryPrefix, int depth);
    bool AddFolderFiles(const std::string& folder, bool storeWithoutFolder, int depth);

    FileSystem& files_;
    void* zip_ = nullptr;   // zipFile
    std::string target_;    // Windows path of the archive
    std::string partPath_;  // Windows path it is written to
    std::string baseFolder_;
    size_t filesAdded_ = 0;
    // True once a write to the archive failed (as opposed to a source file
    // that could not be read).
    bool writeFailed_ = false;
};

// True for an entry name that stays inside the folder it is extracted to:
// not empty, not absolute, no drive or stream colon, no "." or ".." parts.
// Both slashes separate.
bool IsSafeEntryName(std::string_view name);

}  // namespace tolvane
