#include "app/database_choice.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "definitions/container.h"
#include "discovery/shipped_data.h"
#include "host/held_path.h"
#include "host/sha256.h"
#include "machine/file_system.h"
#include "machine/machine.h"
#include "settings/settings_store.h"
#include "update/update_description.h"
#include "update/update_signature.h"
#include "update/version_text.h"

namespace tolvane {

namespace {

// A regular host file of at most kMaxHostDatabaseBytes, read through the
// descriptor that was checked. openFlags adds O_NOFOLLOW where wanted.
bool ReadHostDatabase(const std::string& hostPath, int openFlags, std::string* stored,
                      std::string* error) {
    stored->clear();
    UniqueFd fd(open(hostPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | openFlags));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = "not a regular file";
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > kMaxHostDatabaseBytes) {
        *error = "larger than " + std::to_string(kMaxHostDatabaseBytes >> 20) + " MiB";
        return false;
    }
    char buffer[65536];
    for (;;) {
        ssize_t got = read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 || stored->size() + static_cast<size_t>(got) > kMaxHostDatabaseBytes) {
            *error = got < 0 ? std::strerror(errno) : "it grew while read";
            stored->clear();
            return false;
        }
        if (got == 0) return true;
        stored->append(buffer, static_cast<size_t>(got));
    }
}

// The VERSION of the database's top element, 0 when it has none.
double DatabaseVersion(const std::string& stored) {
    std::string text;
    if (!DecodeContainer(stored, &text)) return 0;
    const size_t top = text.find("<NA");
    if (top == std::string::npos) return 0;
    const size_t end = text.find('>', top);
    const size_t version = text.find("VERSION=\"", top);
    if (version == std::string::npos || version > end) return 0;
    const size_t from = version + std::strlen("VERSION=\"");
    return VersionNumberFromText(text.substr(from, text.find('"', from) - from));
}

// Why the machine's database is no update this computer vouches for; "" when
// it is one.
std::string UnverifiedUpdate(const FileSystem& files, const std::string& path,
                             const std::string& stored, const std::string& shipped,
                             const std::vector<std::string>& trustedKeys) {
    const std::string descriptionPath = path + kInstalledDescriptionSuffix;
    std::string description, signature, detail;
    if (!files.ReadWholeFile(descriptionPath, &description) ||
        !files.ReadWholeFile(descriptionPath + kUpdateSignatureSuffix, &signature))
        return "it is not the shipped one and no signed update description is kept beside it";
    if (description.size() > kMaxUpdateDescriptionBytes ||
        VerifyUpdateSignature(description, signature, trustedKeys, &detail) !=
            SignatureVerdict::Valid)
        return "the update description beside it has no valid signature (" + detail + ")";
    UpdateDescription offer;
    std::string error;
    if (!ParseUpdateDescription(description, &offer, &error) ||
        offer.product != kDefinitionsProduct)
        return "the signed update description beside it describes no definitions database";
    if (offer.sha256 != Sha256Hex(stored) || offer.size != stored.size())
        return "it is not the file its signed update description names";
    if (!shipped.empty() && offer.version < DatabaseVersion(shipped))
        return "it is older (version " + offer.versionText + ") than the shipped one";
    return "";
}

}  // namespace

DatabaseChoice ChooseDatabase(const FileSystem& files, const std::string& name,
                              const std::string& shippedFolder,
                              const std::vector<std::string>& trustedKeys) {
    DatabaseChoice choice;
    const std::string path = SettingsStore::ApplicationFolder() + name;
    std::string machine;
    const bool inMachine = files.PathFileExists(path) && files.ReadWholeFile(path, &machine);
    if (shippedFolder.empty()) {
        choice.found = inMachine;
        choice.stored = std::move(machine);
        choice.origin = path;
        return choice;
    }
    std::string shipped, error;
    const std::string shippedPath = shippedFolder + "/" + name;
    const bool haveShipped = ReadHostDatabase(shippedPath, 0, &shipped, &error);
    if (inMachine && haveShipped && machine == shipped) {
        choice.found = true;
        choice.vouched = true;
        choice.stored = std::move(machine);
        choice.origin = path;
        return choice;
    }
    if (inMachine) {
        std::string why = name == "database.db"
                              ? UnverifiedUpdate(files, path, machine, shipped, trustedKeys)
                              : "it is not the shipped one";
        if (why.empty()) {
            choice.found = true;
            choice.vouched = true;
            choice.stored = std::move(machine);
            choice.origin = path;
            return choice;
        }
        choice.note = name + " of the machine is not used: " + why + "; " +
                      (haveShipped ? "the shipped " + name + " is used instead"
                                   : "no shipped one to use instead");
    }
    choice.found = haveShipped;
    choice.vouched = haveShipped;
    choice.stored = std::move(shipped);
    choice.origin = shippedPath;
    return choice;
}

DatabaseChoice ChooseDefinitions(const Machine& machine, const std::string& userFile,
                                 const std::string& shippedFolder,
                                 const std::vector<std::string>& trustedKeys) {
    DatabaseChoice choice;
    std::string error;
    if (!userFile.empty()) {
        choice.origin = userFile;
        choice.found = choice.vouched = ReadHostDatabase(userFile, 0, &choice.stored, &error);
        if (!choice.found) choice.note = "Definitions " + userFile + " not read: " + error;
        return choice;
    }
    if (machine.KeepsToolStateInside())
        return ChooseDatabase(machine.files(), "database.db", shippedFolder, trustedKeys);
    const std::string folder = shippedFolder.empty() ? ShippedDataFolder() : shippedFolder;
    if (folder.empty()) return choice;
    choice.origin = folder + "/database.db";
    choice.found = choice.vouched = ReadHostDatabase(choice.origin, 0, &choice.stored, &error);
    return choice;
}

bool ReadUserDatabaseFile(const std::string& hostPath, std::string* stored, std::string* error) {
    return ReadHostDatabase(hostPath, 0, stored, error);
}

}  // namespace tolvane
