#include "settings/state_folder.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "host/held_path.h"
#include "host/host_paths.h"

namespace tolvane {

namespace {

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return home;
    struct passwd* entry = getpwuid(geteuid());
    return entry && entry->pw_dir ? entry->pw_dir : "";
}

std::string StateHome() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/') return state;
    std::string home = HomeFolder();
    return home.empty() ? "" : home + "/.local/state";
}

// mkdir -p: the missing levels are made with `mode`.
bool MakeFolders(const std::string& path, mode_t mode) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string level = path.substr(0, slash);
        if (mkdir(level.c_str(), mode) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

// A folder of ours no one else may enter, opened without following a link.
std::string PrivateFolderRefusal(const std::string& path) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || fstat(fd.get(), &st) != 0)
        return path + " cannot be opened as a folder: " + std::strerror(errno);
    if (st.st_uid != geteuid()) return path + " belongs to another user";
    if ((st.st_mode & 077) != 0) return path + " may be entered by other users";
    return "";
}

}  // namespace

std::string InstallationStateKey(const std::string& installationPath) {
    std::string spelled = CanonicalPath(installationPath).value_or(installationPath);
    unsigned char digest[EVP_MAX_MD_SIZE] = {};
    unsigned int length = 0;
    EVP_Digest(spelled.data(), spelled.size(), digest, &length, EVP_sha256(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string key;
    for (int i = 0; i < 16; ++i) {
        key += kHex[digest[i] >> 4];
        key += kHex[digest[i] & 15];
    }
    return key;
}

std::string InstallationStateFolder(const std::string& installationPath, std::string* error) {
    const std::string stateHome = StateHome();
    if (stateHome.empty()) {
        *error = "no home folder is known for the running user";
        return "";
    }
    const std::string tolvane = stateHome + "/tolvane";
    const std::string folder = tolvane + "/installations/" + InstallationStateKey(installationPath);
    if (!MakeFolders(folder, 0700)) {
        *error = folder + " cannot be made: " + std::strerror(errno);
        return "";
    }
    for (const std::string& checked : {tolvane, folder}) {
        std::string refusal = PrivateFolderRefusal(checked);
        if (!refusal.empty()) {
            *error = refusal;
            return "";
        }
    }
    return folder;
}

}  // namespace tolvane
