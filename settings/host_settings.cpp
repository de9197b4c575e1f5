#include "settings/host_settings.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "host/held_path.h"

namespace tolvane {

namespace {

constexpr size_t kMaxSystemSettingsBytes = 65536;

bool SameNameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string Trimmed(std::string_view text) {
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string_view::npos) return "";
    size_t end = text.find_last_not_of(" \t\r");
    return std::string(text.substr(begin, end - begin + 1));
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The line's name when it is a "Name=value" line, with *value set.
std::string LineName(const std::string& line, std::string* value) {
    const std::string trimmed = Trimmed(line);
    if (trimmed.empty() || trimmed.front() == '#') return "";
    size_t equals = trimmed.find('=');
    if (equals == std::string::npos) return "";
    *value = Trimmed(std::string_view(trimmed).substr(equals + 1));
    return Trimmed(std::string_view(trimmed).substr(0, equals));
}

bool FindValue(const std::string& text, std::string_view name, std::string* found) {
    bool any = false;
    for (const std::string& line : Lines(text)) {
        std::string value;
        if (SameNameNoCase(LineName(line, &value), name)) {
            *found = value;
            any = true;
        }
    }
    return any;
}

// The system's file: a regular file of root's that no one else may write,
// read through the descriptor that was checked, with a size cap.
OwnFileState ReadSystemFile(const std::string& path, std::string* content) {
    content->clear();
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.valid()) {
        if (errno == ENOENT || errno == ENOTDIR) return OwnFileState::Missing;
        return errno == ELOOP ? OwnFileState::Link : OwnFileState::Failed;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return OwnFileState::Failed;
    if (!S_ISREG(st.st_mode)) return OwnFileState::NotRegular;
    if (st.st_uid != 0) return OwnFileState::OtherOwner;
    if (st.st_mode & (S_IWGRP | S_IWOTH)) return OwnFileState::WritableByOthers;
    char buffer[4096];
    for (;;) {
        ssize_t got = read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 || content->size() + size_t(got > 0 ? got : 0) > kMaxSystemSettingsBytes) {
            content->clear();
            return OwnFileState::Failed;
        }
        if (got == 0) return OwnFileState::Usable;
        content->append(buffer, static_cast<size_t>(got));
    }
}

void NoteRefused(const std::string& path, OwnFileState state, HostSettingValue* result) {
    if (state == OwnFileState::Usable || state == OwnFileState::Missing) return;
    if (!result->refused.empty()) result->refused += "; ";
    result->refused += path + ": " + std::string(OwnFileStateReason(state));
}

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
    return "";
}

// Makes each missing folder of path's parents, 0700.
void MakeParents(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0700);
    }
}

}  // namespace

std::string UserHostSettingsPath() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/')
        return std::string(config) + "/tolvane/settings.conf";
    const std::string home = HomeFolder();
    return home.empty() ? "" : home + "/.config/tolvane/settings.conf";
}

HostSettingValue ReadHostSettingFrom(std::string_view name, const std::string& userFile,
                                     const std::string& systemFile) {
    HostSettingValue result;
    std::string text;
    if (!userFile.empty()) {
        OwnFileState state = ReadOwnFile(userFile, &text);
        NoteRefused(userFile, state, &result);
        if (state == OwnFileState::Usable && FindValue(text, name, &result.value) &&
            !result.value.empty()) {
            result.source = userFile;
            return result;
        }
    }
    OwnFileState state = ReadSystemFile(systemFile, &text);
    NoteRefused(systemFile, state, &result);
    result.value.clear();
    if (state == OwnFileState::Usable && FindValue(text, name, &result.value) &&
        !result.value.empty())
        result.source = systemFile;
    return result;
}

HostSettingValue ReadHostSetting(std::string_view name) {
    return ReadHostSettingFrom(name, UserHostSettingsPath(), kSystemHostSettingsPath);
}

OwnFileState WriteUserHostSetting(std::string_view name, std::string_view value) {
    const std::string path = UserHostSettingsPath();
    if (path.empty()) return OwnFileState::Failed;
    std::string text;
    OwnFileState state = ReadOwnFile(path, &text);
    if (state != OwnFileState::Usable && state != OwnFileState::Missing) return state;
    std::string written;
    for (const std::string& line : Lines(text)) {
        std::string old;
        if (!SameNameNoCase(LineName(line, &old), name)) written += line + "\n";
    }
    if (!value.empty()) written += std::string(name) + "=" + std::string(value) + "\n";
    if (state == OwnFileState::Missing) MakeParents(path);
    return ReplaceOwnFile(path, written);
}

HostSettingValue HostUpdateServer() {
    return ReadHostSetting("UpdateServer");
}

HostSettingValue HostClamdSocket() {
    return ReadHostSetting("ClamdSocket");
}

}  // namespace tolvane
