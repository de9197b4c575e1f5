#include "backup/archive_writer.h"

#include <minizip/zip.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <vector>

#include "base/codepage.h"
#include "machine/file_system.h"

namespace tolvane {
namespace {

constexpr size_t kChunk = 64 * 1024;
constexpr int kMaxDepth = 64;

zipFile Zip(void* handle) {
    return static_cast<zipFile>(handle);
}

std::string FolderOf(std::string_view path) {
    size_t slash = path.find_last_of('\\');
    return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash));
}

std::string_view NamePart(std::string_view path) {
    size_t slash = path.find_last_of("\\/");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string ToEntryName(std::string_view windowsRelative) {
    std::string name(windowsRelative);
    for (char& c : name) {
        if (c == '\\') c = '/';
    }
    return name;
}

// The entry's date: the file's last-write time as local DOS time.
zip_fileinfo InfoFor(const FileSystem& files, std::string_view path, bool folder) {
    zip_fileinfo info{};
    FileTime creation = 0, access = 0, write = 0;
    std::time_t when = std::time(nullptr);
    if (!path.empty() && files.GetFileTimes(path, &creation, &access, &write) && write != 0) {
        when = static_cast<std::time_t>(FileTimeToUnix(write));
    }
    std::tm local{};
    if (localtime_r(&when, &local) && local.tm_year >= 80) {
        info.tmz_date.tm_sec = local.tm_sec;
        info.tmz_date.tm_min = local.tm_min;
        info.tmz_date.tm_hour = local.tm_hour;
        info.tmz_date.tm_mday = local.tm_mday;
        info.tmz_date.tm_mon = local.tm_mon;
        info.tmz_date.tm_year = local.tm_year + 1900;
    } else {
        info.tmz_date.tm_mday = 1;
        info.tmz_date.tm_year = 1980;
    }
    info.external_fa = folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    return info;
}

}  // namespace

bool IsSafeEntryName(std::string_view name) {
    if (name.empty() || name.front() == '/' || name.front() == '\\') return false;
    if (name.find(':') != std::string_view::npos) return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = name.size();
        std::string_view part = name.substr(start, end - start);
        if (part == "." || part == "..") return false;
        start = end + 1;
    }
    return true;
}

ArchiveWriter::ArchiveWriter(FileSystem& files) : files_(files) {}

ArchiveWriter::~ArchiveWriter() {
    Abandon();
}

void ArchiveWriter::Abandon() {
    if (!zip_) return;
    zipClose(Zip(zip_), nullptr);
    zip_ = nullptr;
    files_.DeleteFile(partPath_);
}

bool ArchiveWriter::Open(std::string_view path) {
    Abandon();
    filesAdded_ = 0;
    writeFailed_ = false;
    target_ = FileSystem::NormalizePath(path);
    partPath_ = target_ + ".part";
    files_.DeleteFile(partPath_);
    // minizip writes through the descriptor the machine layer opened (no
    // link followed, nothing outside the machine), never by name.
    File part;
    if (!files_.OpenFile(partPath_, FileOpenMode::Write, &part)) return false;
    int fd = part.NativeHandle();
    // An archive holds copies of what the user may not show to others (the
    // hosts lines, registry values, files): only its owner reads it.
    if (fchmod(fd, 0600) != 0) return false;
    zlib_filefunc64_def io;
    fill_fopen64_filefunc(&io);
    io.zopen64_file = [](voidpf opaque, const void*, int) -> voidpf {
        int copy = dup(*static_cast<int*>(opaque));
        FILE* file = copy < 0 ? nullptr : fdopen(copy, "wb");
        if (!file && copy >= 0) close(copy);
        return file;
    };
    io.opaque = &fd;
    zip_ = zipOpen2_64(partPath_.c_str(), APPEND_STATUS_CREATE, nullptr, &io);
    if (!zip_) return false;
    baseFolder_ = FolderOf(target_);
    return true;
}

bool ArchiveWriter::AddEntry(std::string_view sourcePath, const std::string& entryName) {
    if (!zip_ || !IsSafeEntryName(entryName)) return false;
    File source;
    if (!files_.OpenFile(sourcePath, FileOpenMode::Read, &source)) return false;
    zip_fileinfo info = InfoFor(files_, sourcePath, false);
    if (zipOpenNewFileInZip(Zip(zip_), entryName.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                            Z_DEFLATED, Z_DEFAULT_COMPRESSION) != ZIP_OK) {
        writeFailed_ = true;
        return false;
    }
    std::vector<char> buffer(kChunk);
    bool ok = true;
    for (;;) {
        size_t read = 0;
        if (!source.Read(buffer.data(), buffer.size(), &read)) {
            ok = false;
            break;
        }
        if (read == 0) break;
        if (zipWriteInFileInZip(Zip(zip_), buffer.data(), static_cast<unsigned>(read)) != ZIP_OK) {
            ok = false;
            writeFailed_ = true;
            break;
        }
    }
    if (zipCloseFileInZip(Zip(zip_)) != ZIP_OK) {
        ok = false;
        writeFailed_ = true;
    }
    if (ok) ++filesAdded_;
    return ok;
}

bool ArchiveWriter::AddFolderEntry(const std::string& entryName) {
    if (!zip_ || !IsSafeEntryName(entryName)) return false;
    std::string name = entryName;
    if (name.back() != '/') name += '/';
    zip_fileinfo info = InfoFor(files_, "", true);
    if (zipOpenNewFileInZip(Zip(zip_), name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                            Z_DEFLATED, Z_DEFAULT_COMPRESSION) != ZIP_OK ||
        zipCloseFileInZip(Zip(zip_)) != ZIP_OK) {
        writeFailed_ = true;
        return false;
    }
    return true;
}

bool ArchiveWriter::AddFile(std::string_view path, bool storeWithoutFolder) {
    if (!zip_) return false;
    std::string entry;
    std::string source(path);
    if (storeWithoutFolder) {
        entry = std::string(NamePart(path));
    } else {
        if (path.substr(0, 3) == "..\\") return false;
        if (path.find(':') == std::string_view::npos) {
            std::string_view relative = path;
            if (relative.substr(0, 2) == ".\\") relative.remove_prefix(2);
            entry = std::string(relative);
            source = baseFolder_ + "\\" + std::string(relative);
        } else {
            std::string full = FileSystem::NormalizePath(path);
            std::string base = baseFolder_ + "\\";
            if (full.size() <= base.size() || !EqualsNoCase(full.substr(0, base.size()), base)) {
                return false;
            }
            entry = full.substr(base.size());
        }
    }
    return AddEntry(source, ToEntryName(entry));
}

bool ArchiveWriter::AddFileAs(std::string_view path, std::string_view entryName) {
    return AddEntry(path, ToEntryName(entryName));
}

bool ArchiveWriter::AddFolderFiles(const std::string& folder, bool storeWithoutFolder, int depth) {
    if (depth > kMaxDepth) return false;
    FindHandle handle;
    FindData entry;
    if (!files_.FindFirstFile(folder + "\\*.*", &handle, &entry)) return true;
    bool ok = true;
    do {
        if (entry.name == "." || entry.name == "..") continue;
        std::string full = folder + "\\" + entry.name;
        if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) {
            ok = AddFolderFiles(full, storeWithoutFolder, depth + 1) && ok;
        } else {
            ok = AddFile(full, storeWithoutFolder) && ok;
        }
    } while (handle.Next(&entry));
    return ok;
}

bool ArchiveWriter::AddFolder(std::string_view path, bool storeWithoutFolder) {
    if (!zip_) return false;
    std::string folder = FileSystem::NormalizePath(path);
    while (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
    return AddFolderFiles(folder, storeWithoutFolder, 0);
}

bool ArchiveWriter::AddTree(const std::string& folder, const std::string& entryPrefix, int depth) {
    if (depth > kMaxDepth) return false;
    FindHandle handle;
    FindData entry;
    bool empty = true, ok = true;
    if (files_.FindFirstFile(folder + "\\*.*", &handle, &entry)) {
        do {
            if (entry.name == "." || entry.name == "..") continue;
            empty = false;
            std::string full = folder + "\\" + entry.name;
            std::string name = entryPrefix + "/" + entry.name;
            if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) {
                ok = AddTree(full, name, depth + 1) && ok;
            } else {
                ok = AddEntry(full, name) && ok;
            }
        } while (handle.Next(&entry));
    }
    if (empty) ok = AddFolderEntry(entryPrefix) && ok;
    return ok;
}

bool ArchiveWriter::AddFolderAs(std::string_view folder, std::string_view entryPrefix) {
    if (!zip_) return false;
    std::string path = FileSystem::NormalizePath(folder);
    while (path.size() > 3 && path.back() == '\\') path.pop_back();
    std::string prefix = ToEntryName(entryPrefix);
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
    return AddTree(path, prefix, 0);
}

bool ArchiveWriter::Close() {
    if (!zip_) return false;
    bool ok = zipClose(Zip(zip_), nullptr) == ZIP_OK && !writeFailed_;
    zip_ = nullptr;
    // One rename over the old archive: a crash leaves the old one or the new one.
    if (ok) ok = files_.MoveFileReplacing(partPath_, target_);
    if (!ok) {
        writeFailed_ = true;
        files_.DeleteFile(partPath_);
    }
    return ok;
}

}  // namespace tolvane
