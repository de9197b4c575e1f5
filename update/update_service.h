// The update-service library: asks the update server whether a newer
// program or definitions database exists, downloads it in the background,
// verifies and installs it, and reports each outcome as an
// UpdateNotifyMessage posted into the receiving window's event loop.
//
// An UpdateService is owned by the session that runs the update flows (there
// is no process-wide one); its Au* calls are the library's interface. Call
// order per product: AuSetup(product), AuInitialize(request), set the
// request's receiver and postNotifications = 1, AuQueryServerAsync(request);
// after code 2 and the user's consent AuDownloadUpdateAsync(request); after
// code 4 AuRunAutoUpdate with the message's record. AuAbort may come at any
// time. All Au* calls are made on one thread (the user-interface thread);
// network work runs on the service's own threads, which only ever deliver
// to a receiving UpdateNotifySink and call the log function.
//
// The parts: the HTTP transport (update_http.h), the job queue
// (update_jobs.h), the installer (update_installer.h) and the description
// and signature formats (update_description.h, update_signature.h).
//
// Server: the UpdateServer setting of this computer's Tolvane settings
// (settings/host_settings.h: the user's own file, else the system's; an
// "http://" or "https://" base address); the product's description path is
// appended to it. With none configured there is no update server: a query
// asks nothing and posts code 1 (UpdateServerConfigured tells it apart). The machine's own
// UpdateServer value is never used (the machine being cleaned does not
// choose where Tolvane connects): the log says it was ignored.
// Redirects are followed only to the same origin (scheme, host and port).
// Description files are in the format of update/README.md and count only
// with a valid signature (the description's address plus ".sig") by one of
// the trusted keys, for the right product, and not dated before the
// product's installedDate; anything else is "no newer version" with a log
// line saying why. A newer version is one whose number is above the
// product's installedVersion. Downloads go to the application folder's
// Updates folder under a temporary name; only a complete file of the
// announced size and SHA-256 is kept (code 4), anything else is removed
// (code 5). An aborted or superseded request posts nothing more.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "update/update_installer.h"
#include "update/update_jobs.h"
#include "update/update_signature.h"

namespace tolvane {

class Machine;
struct UpdateRequest;
struct UpdateRequestState;
struct UpdateSinkGate;

// Whether this computer's Tolvane settings name an update server. A
// distributor or an administrator sets one (UpdateServer=https://... in
// /etc/tolvane/settings.conf, a user in ~/.config/tolvane/settings.conf);
// the program names none of its own.
bool UpdateServerConfigured();

// The codes of UpdateNotifyMessage (the library's numbers).
enum UpdateNotifyCode : int {
    kUpdateServerUnreachable = 1,
    kUpdateNewerVersion = 2,  // its number comes with the message
    kUpdateNoNewerVersion = 3,
    kUpdateDownloadComplete = 4,
    kUpdateDownloadFailed = 5,
};

// Window message 1290: what the library reports about a request.
struct UpdateNotifyMessage {
    static constexpr unsigned kId = 1290;
    UpdateNotifyCode code{};
    UpdateRequest* record = nullptr;  // the request; AuRunAutoUpdate takes it back
    double offeredVersion = 0;        // the version the server offers (codes 2, 4, 5)
};

// The receiving window as the library sees it.
class UpdateNotifySink {
  public:
    UpdateNotifySink();
    virtual ~UpdateNotifySink();
    UpdateNotifySink(const UpdateNotifySink&) = delete;
    UpdateNotifySink& operator=(const UpdateNotifySink&) = delete;

    // Called on the library's thread while the sink's delivery lock is
    // held: queue the message for the window's event loop and return. Never
    // call into the window from here, nor wait for its thread (that
    // deadlocks as soon as the window answers with an Au* call).
    virtual void PostUpdateNotify(const UpdateNotifyMessage& message) = 0;

    // The sink is going away: nothing is delivered to it any more, and no
    // delivery is in progress once this returns. A sink calls it before
    // its own part is destroyed; any thread may.
    void StopReceiving();

    // How the library holds a sink: delivers only while it receives.
    class Handle {
      public:
        Handle() = default;
        explicit Handle(UpdateNotifySink* sink);
        void Deliver(const UpdateNotifyMessage& message) const;

      private:
        UpdateNotifySink* sink_ = nullptr;
        std::shared_ptr<UpdateSinkGate> gate_;
    };

  private:
    std::shared_ptr<UpdateSinkGate> gate_;
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

// One request per product; zero at start. Not copyable: the library keeps
// track of it by address. It may outlive the service it was used with.
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
    // One line per notable event (what failed and why). Called on the
    // service's threads: must be thread-safe. Empty: no log.
    std::function<void(const std::string& line)> log;
    std::chrono::milliseconds connectTimeout{15000};
    std::chrono::milliseconds queryTimeout{60000};       // a whole description fetch
    std::chrono::milliseconds downloadTimeout{1800000};  // a whole download
    std::string userAgent = "Tolvane/3.45";
    // The public keys (PEM) whose signature makes a description count. The
    // program passes the built-in ones; tests add their own key here.
    std::vector<std::string> trustedKeys = BuiltInUpdateKeys();
};

class UpdateService {
  public:
    explicit UpdateService(UpdateServiceOptions options);
    // Shutdown.
    ~UpdateService();
    UpdateService(const UpdateService&) = delete;
    UpdateService& operator=(const UpdateService&) = delete;

    // Makes this product the subject of the next AuInitialize.
    void AuSetup(UpdateProduct* product);
    // Resets the request for the product of the last AuSetup. Work still
    // pending on it is abandoned: it posts nothing more and its temporary
    // file is removed.
    void AuInitialize(UpdateRequest* request);
    // Returns at once; later posts code 1, 2 or 3.
    void AuQueryServerAsync(UpdateRequest* request);
    // Returns at once; later posts code 4 or 5. Without a version offered by
    // the last query of this request it posts 5.
    void AuDownloadUpdateAsync(UpdateRequest* request);
    // Cancels the request's pending work: nothing more is posted for it and
    // a partial download is removed.
    void AuAbort(UpdateRequest* request);
    // Installs the verified download of the record (a code 4 message's) on
    // the calling thread (update_installer.h); new definitions raise the
    // product's installedVersion and installedDate.
    UpdateInstallResult AuRunAutoUpdate(UpdateRequest* record);

    // Aborts every request and waits for the service's threads to end.
    void Shutdown();
    // Waits until no request has work pending (tests, orderly exit).
    void WaitIdle();
    // True while some request has work pending. Everything a finished
    // request posts has been posted by the time this gives false.
    bool Busy() const;

  private:
    struct Work;
    struct JobInput;
    void StartJob(UpdateRequest* request, bool download);
    void Run(const Work& work, const JobInput& input, bool download);
    void RunQuery(const Work& work, const JobInput& input);
    void RunDownload(const Work& work, const JobInput& input);
    void Finish(const Work& work, UpdateNotifyCode code,
                const std::function<bool()>& commit = nullptr);
    void Log(const std::string& line) const;

    const UpdateServiceOptions options_;
    std::mutex mutex_;  // guards current_
    UpdateProduct* current_ = nullptr;
    UpdateJobQueue jobs_;
};

}  // namespace tolvane
