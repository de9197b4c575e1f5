#include "backup/archive_reader.h"

#include <minizip/unzip.h>

#include <algorithm>
#include <ctime>
#include <vector>

#include "backup/archive_writer.h"
#include "machine/file_system.h"

namespace tolvane {
namespace {

constexpr size_t kChunk = 64 * 1024;
// Longest entry name taken; longer names are refused.
constexpr size_t kMaxName = 4096;

unzFile Unz(void* handle) {
    return static_cast<unzFile>(handle);
}

// A DOS date and time in local time as a FILETIME; 0 when it is no date.
FileTime DosToFileTime(const tm_unz& date) {
    std::tm local{};
    local.tm_sec = static_cast<int>(date.tm_sec);
    local.tm_min = static_cast<int>(date.tm_min);
    local.tm_hour = static_cast<int>(date.tm_hour);
    local.tm_mday = static_cast<int>(date.tm_mday);
    local.tm_mon = static_cast<int>(date.tm_mon);
    local.tm_year = static_cast<int>(date.tm_year) - 1900;
    local.tm_isdst = -1;
    if (local.tm_mday < 1 || local.tm_year < 80) return 0;
    std::time_t when = std::mktime(&local);
    return when < 0 ? 0 : UnixToFileTime(when);
}

}  // namespace

bool CreateNewFolder(FileSystem& files, const std::string& folder) {
    size_t slash = folder.find_last_of('\\');
    return slash != std::string::npos && files.CreateFolderPath(folder.substr(0, slash)) &&
           files.CreateDirectory(folder);
}

ArchiveReader::ArchiveReader(FileSystem& files) : files_(files) {}

ArchiveReader::~ArchiveReader() {
    Close();
}

bool ArchiveReader::Open(std::string_view path) {
    Close();
    std::optional<std::string> host = files_.ToHostPath(path);
    if (!host || !files_.PathFileExists(path) || files_.IsFolder(std::string(path))) return false;
    FindHandle handle;
    FindData entry;
    archiveSize_ = files_.FindFirstFile(path, &handle, &entry) ? entry.size : 0;
    unz_ = unzOpen64(host->c_str());
    return unz_ != nullptr;
}

void ArchiveReader::Close() {
    if (unz_) unzClose(Unz(unz_));
    unz_ = nullptr;
}

bool ArchiveReader::SetOutputFolder(std::string_view folder) {
    std::string path = FileSystem::NormalizePath(folder);
    while (path.size() > 3 && path.back() == '\\') path.pop_back();
    if (files_.PathFileExists(path) && !files_.IsFolder(path)) return false;
    if (!files_.CreateFolderPath(path)) return false;
    output_ = path;
    return true;
}

void ArchiveReader::SetLimits(uint64_t maxBytes, uint64_t maxRatio) {
    maxBytes_ = maxBytes;
    maxRatio_ = maxRatio;
}

bool ArchiveReader::Allow(size_t n) {
    written_ += n;
    if (maxBytes_ != 0 && written_ > maxBytes_) {
        stopped_ = Stop::Space;
    } else if (maxRatio_ != 0 && written_ > kRatioGrace &&
               written_ / maxRatio_ >= std::max<uint64_t>(archiveSize_, 1)) {
        stopped_ = Stop::Ratio;
    }
    return stopped_ == Stop::None;
}

bool ArchiveReader::ExtractAll(bool ignoreFolderNames) {
    filesExtracted_ = 0;
    entriesRefused_ = 0;
    written_ = 0;
    stopped_ = Stop::None;
    if (!unz_ || output_.empty()) return false;
    unz_global_info global;
    if (unzGetGlobalInfo(Unz(unz_), &global) != UNZ_OK || global.number_entry == 0) return false;
    // An entry that cannot be extracted does not keep the later ones (the
    // manifest among them) from the work folder.
    bool all = true;
    int rc = unzGoToFirstFile(Unz(unz_));
    while (rc == UNZ_OK) {
        if (!ExtractCurrent(ignoreFolderNames)) {
            all = false;
            if (stopped_ != Stop::None) return false;
        }
        rc = unzGoToNextFile(Unz(unz_));
    }
    return all && rc == UNZ_END_OF_LIST_OF_FILE;
}

bool ArchiveReader::ExtractCurrent(bool ignoreFolderNames) {
    unz_file_info info;
    std::vector<char> nameBuffer(kMaxName + 1, '\0');
    if (unzGetCurrentFileInfo(Unz(unz_), &info, nameBuffer.data(), kMaxName, nullptr, 0, nullptr,
                              0) != UNZ_OK) {
        return false;
    }
    if (info.size_filename > kMaxName) {
        ++entriesRefused_;
        return true;
    }
    std::string name(nameBuffer.data(), info.size_filename);
    for (char& c : name) {
        if (c == '/') c = '\\';
    }
    bool folder =
        (info.external_fa & FILE_ATTRIBUTE_DIRECTORY) || (!name.empty() && name.back() == '\\');
    while (!name.empty() && name.back() == '\\') name.pop_back();
    if (!IsSafeEntryName(name) || name.find('\0') != std::string::npos) {
        ++entriesRefused_;
        return true;
    }
    if (folder) {
        if (ignoreFolderNames) return true;
        return files_.CreateFolderPath(output_ + "\\" + name);
    }
    if (ignoreFolderNames) {
        size_t slash = name.rfind('\\');
        if (slash != std::string::npos) name = name.substr(slash + 1);
    }
    std::string target = output_ + "\\" + name;
    size_t slash = target.rfind('\\');
    if (!files_.CreateFolderPath(target.substr(0, slash))) return false;
    if (files_.IsFolder(target)) return false;

    File out;
    files_.SetFileAttributes(target, FILE_ATTRIBUTE_NORMAL);
    if (!files_.OpenFile(target, FileOpenMode::Write, &out)) return false;
    bool ok = CopyCurrentEntry(&out);
    out.Close();
    if (!ok) {
        files_.DeleteFile(target);
        return false;
    }
    FileTime written = DosToFileTime(info.tmu_date);
    if (written != 0) files_.SetFileTimes(target, 0, written);
    ++filesExtracted_;
    return true;
}

bool ArchiveReader::CopyCurrentEntry(File* out) {
    if (unzOpenCurrentFile(Unz(unz_)) != UNZ_OK) return false;
    std::vector<char> buffer(kChunk);
    bool ok = true;
    for (;;) {
        int read =
            unzReadCurrentFile(Unz(unz_), buffer.data(), static_cast<unsigned>(buffer.size()));
        if (read < 0) {
            ok = false;
            break;
        }
        if (read == 0) break;
        if (!Allow(static_cast<size_t>(read))) {
            ok = false;
            break;
        }
        if (!out->Write(std::string_view(buffer.data(), static_cast<size_t>(read)))) {
            ok = false;
            break;
        }
    }
    // The checksum is only checked here, at the entry's end.
    if (unzCloseCurrentFile(Unz(unz_)) != UNZ_OK) ok = false;
    return ok;
}

}  // namespace tolvane
