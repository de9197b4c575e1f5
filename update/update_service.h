// The update-service library: asks the update server whether a newer
// program or definitions database exists, downloads it in the background,
// verifies and installs it, and reports each outcome as an
// UpdateNotifyMessage posted into the receiving window's event loop.
//
// Call order per product: AuSetup(product), AuInitialize(request), set the
// request's receiver and postNotifications = 1, AuQueryServerAsync(request);
// after code 2 and the user's consent AuDownloadUpdateAsync(request); after
// code 4 AuRunAutoUpdate with the message's record. AuAbort may come at any
// time. All Au* calls are made on one thread (the user-interface thread);
// network work runs on the library's own threads, which only ever call
// UpdateNotifySink::PostUpdateNotify and the log function.
//
// Server: the UpdateServer setting (an "http://" or "https://" base
// address; the settings store gives its default when it is missing), else
// kDefaultUpdateServer; the
// product's description path is appended to it. Redirects are followed only
// to the same origin (scheme, host and port). Description files are in
// the format of update/README.md and count only with a valid signature
// (the description's address plus ".sig") by one of the trusted keys, for
// the right product, and not dated before the product's installedDate;
// anything else is "no newer version" with a log line saying why. A newer
// version is one whose number is above the product's installedVersion. Downloads go to the application
// folder's Updates folder under a temporary name; only a complete file of
// the announced size and SHA-256 is kept (code 4), anything else is removed
// (code 5). An aborted or superseded request posts nothing more.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "update/update_signature.h"

namespace tolvane {

class Machine;
struct UpdateRequest;

// The update server when the UpdateServer setting is empty.
inline constexpr char kDefaultUpdateServer[] = "https://tolvane.example.org/update/";

// The codes of UpdateNotifyMessage.
inline constexpr int kUpdateServerUnreachable = 1;
inline constexpr int kUpdateNewerVersion = 2;  // its number comes with the message
inline constexpr int kUpdateNoNewerVersion = 3;
inline constexpr int kUpdateDownloadComplete = 4;
inline constexpr int kUpdateDownloadFailed = 5;

// Window message 1290: what the library reports about a request.
struct UpdateNotifyMessage {
    static constexpr unsigned kId = 1290;
    int code = 0;
    UpdateRequest* record = nullptr;  // the request; AuRunAutoUpdate takes it back
    double offeredVersion = 0;        // the version the server offers (codes 2, 4, 5)
};

// The receiving window as the library sees it.
class UpdateNotifySink {
  public:
    virtual ~UpdateNotifySink() = default;
    // Called on the library's thread with the library's lock held: queue
    // the message for the window's event loop and return. Never call into
    // the window from here, nor wait for its thread (that deadlocks as soon
    // as the window answers with an Au* call).
    virtual void PostUpdateNotify(const UpdateNotifyMessage& message) = 0;
};

// What installing a product's download means.
enum class UpdateInstallKind {
    // A program package: a running program is never replaced, so the
    // verified package is kept in the Updates folder for the user to install.
    ProgramPackage,
    // database.db: loaded on trial first; then database.db becomes
    // database.bak and the new file takes its place atomically.
    DefinitionsDatabase,
};

struct UpdateProduct {
    uint32_t recordSize = 32;
    std::string productCode;      // "TOLVANE"
    std::string settingsKey;      // "SOFTWARE\\Tolvane" under HKEY_LOCAL_MACHINE
    std::string descriptionPath;  // "/tolvane/updatecore.txt"
    std::string displayName;      // "Tolvane"
    uint32_t reserved = 0;
    double installedVersion = 0;  // raised by AuRunAutoUpdate when definitions are installed
    UpdateInstallKind install = UpdateInstallKind::ProgramPackage;
    // The release date ("2026-12-09") of what is installed: the DATE of the
    // loaded database.db, then the date of the description installed. A
    // description dated before it is a replay and is refused. Empty (or no
    // such date): only the version decides.
    std::string installedDate;
};

struct UpdateRequestState;  // the library's own part of a request

// One request per product; zero at start. Not copyable: the library keeps
// track of it by address.
struct UpdateRequest {
    UpdateRequest();
    ~UpdateRequest();
    UpdateRequest(const UpdateRequest&) = delete;
    UpdateRequest& operator=(const UpdateRequest&) = delete;

    uint32_t recordSize = 96;
    // Set by the program after AuInitialize: the window that receives the
    // notifications, and 1 to have them posted (0 posts nothing).
    UpdateNotifySink* receiver = nullptr;
    uint32_t postNotifications = 0;

    // The version the last query of this request offered (0 before one did).
    double offeredVersion() const;

    std::shared_ptr<UpdateRequestState> state;
};

struct UpdateServiceOptions {
    Machine* machine = nullptr;  // where downloads and installs go; required
    // Reads a string value of the product's settings key; empty: the
    // machine's settings store. Called on the library's thread.
    std::function<std::string(std::string_view settingsKey, std::string_view valueName)>
        readSetting;
    // One line per notable event (what failed and why). Called on the
    // library's thread: must be thread-safe. Empty: no log.
    std::function<void(const std::string& line)> log;
    std::chrono::milliseconds connectTimeout{15000};
    std::chrono::milliseconds queryTimeout{60000};       // a whole description fetch
    std::chrono::milliseconds downloadTimeout{1800000};  // a whole download
    std::string userAgent = "Tolvane/3.45";
    // The public keys (PEM) whose signature makes a description count. The
    // program passes the built-in ones; tests add their own key here.
    std::vector<std::string> trustedKeys = BuiltInUpdateKeys();
};

// Prepares the library; before any other call. Calling it again first
// ends all work as AuShutdown does.
void AuConfigure(const UpdateServiceOptions& options);
// Aborts every request and waits for the library's threads to end; call it
// before the program exits.
void AuShutdown();
// Waits until no request has work pending (tests, orderly exit).
void AuWaitIdle();
// True while some request has work pending. Everything a finished request
// posts has been posted by the time this gives false.
bool AuBusy();

// Makes this product the subject of the next AuInitialize.
void AuSetup(UpdateProduct* product);
// Resets the request for the product of the last AuSetup. Work still
// pending on it is abandoned: it posts nothing more and its temporary file
// is removed.
void AuInitialize(UpdateRequest* request);
// Returns at once; later posts code 1, 2 or 3.
void AuQueryServerAsync(UpdateRequest* request);
// Returns at once; later posts code 4 or 5. Without a version offered by
// the last query of this request it posts 5.
void AuDownloadUpdateAsync(UpdateRequest* request);
// Cancels the request's pending work: nothing more is posted for it and a
// partial download is removed.
void AuAbort(UpdateRequest* request);
// The sink is going away: no request posts to it any more.
void AuForgetReceiver(UpdateNotifySink* sink);

enum class UpdateInstallOutcome {
    ProgramPackageKept,    // the verified package waits in the Updates folder
    DefinitionsInstalled,  // database.db replaced, the old one kept as database.bak
    NotLoadable,           // the downloaded database does not load; database.db untouched
    Failed,                // nothing downloaded, or the files could not be changed
};

struct UpdateInstallResult {
    UpdateInstallOutcome outcome = UpdateInstallOutcome::Failed;
    std::string message;          // what to tell the user
    std::string packagePath;      // ProgramPackageKept: the package, a Windows path
    std::string packageHostPath;  // the same on the host
    double installedVersion = 0;  // DefinitionsInstalled: the new definitions version
};

// Installs the verified download of the record (a code 4 message's). Runs
// on the calling thread and takes a moment (the new database is loaded on
// trial).
UpdateInstallResult AuRunAutoUpdate(UpdateRequest* record);

}  // namespace tolvane
