#include "update/update_service.h"

#include <atomic>
#include <condition_variable>
#include <list>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "app/settings_store.h"
#include "definitions/load_definitions.h"
#include "definitions/placeholders.h"
#include "definitions/threat_database.h"
#include "platform/machine.h"
#include "update/sha256.h"
#include "update/update_description.h"
#include "update/update_http.h"
#include "update/update_signature.h"
#include "update/version_text.h"

namespace tolvane {

namespace {

// One piece of background work on a request (a query or a download).
struct Job {
    uint64_t id = 0;
    std::atomic<bool> cancelled{false};
    // Guarded by the service's mutex: AuForgetReceiver clears it.
    UpdateNotifySink* receiver = nullptr;
    bool post = false;
};

}  // namespace

// Guarded by the service's mutex.
struct UpdateRequestState {
    UpdateProduct* product = nullptr;
    std::shared_ptr<Job> job;  // the pending work, if any
    bool haveOffer = false;
    UpdateDescription offer;
    std::string server;  // the base address the offer came from
    double offeredVersion = 0;
    std::string downloadPath;  // the verified download (a Windows path)
};

namespace {

struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
};

struct Service {
    std::mutex mutex;
    std::condition_variable idle;
    UpdateServiceOptions options;
    UpdateProduct* current = nullptr;
    std::vector<std::shared_ptr<Job>> jobs;  // pending work of every request
    std::list<Worker> workers;
    uint64_t nextJobId = 1;

    void Shutdown() {
        std::list<Worker> ending;
        {
            std::unique_lock lock(mutex);
            for (auto& job : jobs) job->cancelled = true;
            idle.wait(lock, [this] { return jobs.empty(); });
            ending.swap(workers);
        }
        for (auto& worker : ending) worker.thread.join();
    }

    // Joins the threads that have ended; on the calling (user-interface) thread.
    void ReapWorkers() {
        std::list<Worker> ended;
        {
            std::lock_guard lock(mutex);
            for (auto it = workers.begin(); it != workers.end();) {
                auto next = std::next(it);
                if (*it->done) ended.splice(ended.end(), workers, it);
                it = next;
            }
        }
        for (auto& worker : ended) worker.thread.join();
    }

    void Log(const std::string& line) {
        std::function<void(const std::string&)> log;
        {
            std::lock_guard lock(mutex);
            log = options.log;
        }
        if (log) log(line);
    }
};

// Never destroyed: requests held by objects that outlive the statics still
// find it. AuShutdown ends the work before the program exits.
Service& TheService() {
    static Service* service = new Service;
    return *service;
}

// Abandons the request's pending work; with the service's mutex held.
void CancelLocked(UpdateRequestState& state) {
    if (state.job) {
        state.job->cancelled = true;
        state.job.reset();
    }
}

// --- Background work ------------------------------------------------------

// What a job's thread needs, copied on the calling thread when it starts.
struct JobInput {
    UpdateServiceOptions options;
    std::string settingsKey;
    std::string descriptionPath;
    std::string displayName;
    double installedVersion = 0;
    UpdateInstallKind install = UpdateInstallKind::ProgramPackage;
    std::string installedDate;
    UpdateDescription offer;  // downloads
    std::string server;       // downloads
    bool haveOffer = false;
};

// Posts the job's outcome unless it was cancelled; commit, run first under
// the same lock, records the outcome in the request (and may still refuse).
void Finish(Service& service, UpdateRequest* request,
            const std::shared_ptr<UpdateRequestState>& state, const std::shared_ptr<Job>& job,
            int code, const std::function<bool()>& commit = nullptr) {
    std::lock_guard lock(service.mutex);
    if (job->cancelled || state->job != job) return;
    state->job.reset();
    if (commit && !commit()) code = kUpdateDownloadFailed;
    if (job->post && job->receiver) {
        UpdateNotifyMessage message;
        message.code = code;
        message.record = request;
        message.offeredVersion = state->offeredVersion;
        job->receiver->PostUpdateNotify(message);
    }
}

std::string ServerSetting(const JobInput& input) {
    if (input.options.readSetting) {
        return input.options.readSetting(input.settingsKey, setting::kUpdateServer);
    }
    if (!input.options.machine) return "";
    return SettingsStore(input.options.machine->registry()).ReadString(setting::kUpdateServer);
}

HttpSettings Http(const UpdateServiceOptions& options) {
    return HttpSettings{options.connectTimeout, options.userAgent};
}

FetchResult FetchText(const std::string& url, size_t limit, const JobInput& input, const Job& job,
                      std::string* body, bool* tooLarge) {
    return FetchText(url, limit, Http(input.options), input.options.queryTimeout, job.cancelled,
                     body, tooLarge);
}

// Why a fetched description does not count ("" when it does): it must be
// signed by a trusted key over its exact bytes, well-formed, for this
// product, and not older than what is installed.
std::string RefuseDescription(const JobInput& input, const std::string& body,
                              const std::string& signatureUrl, const FetchResult& signatureFetch,
                              const std::string& signature, UpdateDescription* offer) {
    if (signatureFetch.outcome == FetchOutcome::HttpError) {
        return "the signature is missing (" + signatureUrl + ": " + signatureFetch.error + ")";
    }
    std::string detail = "larger than 4 KiB";
    if (signatureFetch.outcome != FetchOutcome::Ok ||
        VerifyUpdateSignature(body, signature, input.options.trustedKeys, &detail) !=
            SignatureVerdict::Valid) {
        return "the signature is wrong (" + detail + ")";
    }
    std::string error;
    if (!ParseUpdateDescription(body, offer, &error)) {
        return "not a valid update description (" + error + ")";
    }
    const char* expected = input.install == UpdateInstallKind::DefinitionsDatabase
                               ? kDefinitionsProduct
                               : kProgramProduct;
    if (offer->product != expected) {
        return "describes the " + offer->product + ", not the " + expected;
    }
    if (IsUpdateDate(input.installedDate) && offer->date < input.installedDate) {
        return "dated " + offer->date + ", before the installed release of " + input.installedDate +
               " (an old description replayed)";
    }
    return "";
}

void RunQuery(Service& service, UpdateRequest* request,
              const std::shared_ptr<UpdateRequestState>& state, const std::shared_ptr<Job>& job,
              const JobInput& input) {
    const std::string who = "update: " + input.displayName + ": ";
    std::string setting = ServerSetting(input);
    std::string server;
    if (setting.empty()) setting = kDefaultUpdateServer;
    if (!CleanServerAddress(setting, &server)) {
        service.Log(who + "the update server \"" + setting +
                    "\" is no http:// or https:// address");
        Finish(service, request, state, job, kUpdateServerUnreachable);
        return;
    }
    const std::string url = server + input.descriptionPath;
    const std::string signatureUrl = url + kUpdateSignatureSuffix;
    std::string body, signature;
    bool tooLarge = false, signatureTooLarge = false;
    FetchResult fetched = FetchText(url, kMaxUpdateDescriptionBytes, input, *job, &body, &tooLarge);
    FetchResult signatureFetch;
    std::string fetchedUrl = url;
    if (fetched.outcome == FetchOutcome::Ok) {
        signatureFetch = FetchText(signatureUrl, kMaxUpdateSignatureBytes, input, *job, &signature,
                                   &signatureTooLarge);
        if (signatureFetch.outcome == FetchOutcome::Cancelled ||
            signatureFetch.outcome == FetchOutcome::Unreachable) {
            fetched = signatureFetch;
            fetchedUrl = signatureUrl;
        }
    }
    switch (fetched.outcome) {
        case FetchOutcome::Cancelled:
            return;
        case FetchOutcome::Unreachable:
        case FetchOutcome::HttpError:
            service.Log(who + fetchedUrl + ": " + fetched.error);
            Finish(service, request, state, job, kUpdateServerUnreachable);
            return;
        case FetchOutcome::StoppedByData:
        case FetchOutcome::Ok:
            break;
    }
    UpdateDescription offer;
    std::string problem =
        tooLarge ? "not a valid update description (larger than 64 KiB)"
                 : RefuseDescription(input, body, signatureUrl, signatureFetch, signature, &offer);
    if (!problem.empty()) {
        service.Log(who + url + ": " + problem + "; treated as no update");
        Finish(service, request, state, job, kUpdateNoNewerVersion);
        return;
    }
    const bool newer = offer.version > input.installedVersion;
    Finish(service, request, state, job, newer ? kUpdateNewerVersion : kUpdateNoNewerVersion, [&] {
        state->haveOffer = newer;
        state->offer = offer;
        state->server = server;
        state->offeredVersion = offer.version;
        return true;
    });
}

std::string UpdatesFolder() {
    return ShellFolders::ApplicationFolder() + "Updates";
}

// The application folder and its Updates folder, made when missing.
bool MakeUpdatesFolder(FileSystem& files) {
    std::string application = ShellFolders::ApplicationFolder();
    if (!application.empty() && application.back() == '\\') application.pop_back();
    if (!files.PathFileExists(application)) files.CreateDirectory(application);
    std::string updates = UpdatesFolder();
    if (!files.PathFileExists(updates)) files.CreateDirectory(updates);
    return files.GetFileAttributes(updates) != INVALID_FILE_ATTRIBUTES &&
           (files.GetFileAttributes(updates) & FILE_ATTRIBUTE_DIRECTORY);
}

void RunDownload(Service& service, UpdateRequest* request,
                 const std::shared_ptr<UpdateRequestState>& state, const std::shared_ptr<Job>& job,
                 const JobInput& input) {
    const std::string who = "update: " + input.displayName + ": ";
    if (!input.haveOffer) {
        service.Log(who + "no newer version was offered to download");
        Finish(service, request, state, job, kUpdateDownloadFailed);
        return;
    }
    FileSystem& files = input.options.machine->files();
    if (!MakeUpdatesFolder(files)) {
        service.Log(who + "the folder " + UpdatesFolder() + " cannot be made");
        Finish(service, request, state, job, kUpdateDownloadFailed);
        return;
    }
    const UpdateDescription& offer = input.offer;
    const std::string finalPath = UpdatesFolder() + "\\" + offer.fileName;
    const std::string tempPath = finalPath + "." + std::to_string(job->id) + ".part";
    File file;
    if (!files.OpenFile(tempPath, FileOpenMode::Write, &file)) {
        service.Log(who + "cannot write " + tempPath);
        Finish(service, request, state, job, kUpdateDownloadFailed);
        return;
    }
    Sha256 hash;
    uint64_t received = 0;
    std::string problem;
    const std::string url = input.server + offer.file;
    FetchResult fetched = FetchUrl(url, Http(input.options), input.options.downloadTimeout,
                                   job->cancelled, [&](std::string_view data) {
                                       if (received + data.size() > offer.size) {
                                           problem = "the download is larger than the " +
                                                     std::to_string(offer.size) +
                                                     " bytes announced";
                                           return false;
                                       }
                                       if (!file.Write(data)) {
                                           problem = "cannot write " + tempPath;
                                           return false;
                                       }
                                       received += data.size();
                                       hash.Update(data);
                                       return true;
                                   });
    bool flushed = file.Flush();
    file.Close();
    if (fetched.outcome == FetchOutcome::Cancelled) {
        files.DeleteFile(tempPath);
        return;
    }
    if (problem.empty()) {
        if (fetched.outcome != FetchOutcome::Ok) {
            problem = fetched.error;
        } else if (received != offer.size) {
            problem = "the download has " + std::to_string(received) + " bytes, not the " +
                      std::to_string(offer.size) + " announced";
        } else if (hash.FinishHex() != offer.sha256) {
            problem = "the download's SHA-256 is not the one announced";
        } else if (!flushed) {
            problem = "cannot write " + tempPath;
        }
    }
    if (!problem.empty()) {
        files.DeleteFile(tempPath);
        service.Log(who + url + ": " + problem);
        Finish(service, request, state, job, kUpdateDownloadFailed);
        return;
    }
    bool kept = false;
    Finish(service, request, state, job, kUpdateDownloadComplete, [&] {
        if (files.PathFileExists(finalPath)) files.DeleteFile(finalPath);
        kept = files.MoveFile(tempPath, finalPath);
        if (kept) state->downloadPath = finalPath;
        return kept;
    });
    if (!kept) {
        // Cancelled at the last moment, or the name could not be taken.
        files.DeleteFile(tempPath);
    }
}

void StartJob(UpdateRequest* request, bool download) {
    Service& service = TheService();
    service.ReapWorkers();
    std::lock_guard lock(service.mutex);
    auto state = request->state;
    CancelLocked(*state);
    auto job = std::make_shared<Job>();
    job->id = service.nextJobId++;
    job->receiver = request->receiver;
    job->post = request->postNotifications == 1;
    JobInput input;
    input.options = service.options;
    if (state->product) {
        input.settingsKey = state->product->settingsKey;
        input.descriptionPath = state->product->descriptionPath;
        input.displayName = state->product->displayName;
        input.installedVersion = state->product->installedVersion;
        input.install = state->product->install;
        input.installedDate = state->product->installedDate;
    }
    input.haveOffer = state->haveOffer;
    input.offer = state->offer;
    input.server = state->server;
    if (download) {
        state->downloadPath.clear();
    } else {
        state->haveOffer = false;
        state->offeredVersion = 0;
    }
    state->job = job;
    service.jobs.push_back(job);
    auto done = std::make_shared<std::atomic<bool>>(false);
    bool usable = input.options.machine && state->product && !input.descriptionPath.empty() &&
                  input.descriptionPath.front() == '/';
    std::thread thread;
    try {
        thread = std::thread(
            [&service, request, state, job, input = std::move(input), download, done, usable] {
                if (!usable) {
                    service.Log("update: the request was not set up with a product and a machine");
                    Finish(service, request, state, job,
                           download ? kUpdateDownloadFailed : kUpdateServerUnreachable);
                } else if (download) {
                    RunDownload(service, request, state, job, input);
                } else {
                    RunQuery(service, request, state, job, input);
                }
                std::lock_guard lock(service.mutex);
                std::erase(service.jobs, job);
                *done = true;
                service.idle.notify_all();
            });
    } catch (const std::system_error&) {
        // No thread to be had: the request fails at once, as it would later.
        std::erase(service.jobs, job);
        state->job.reset();
        if (job->post && job->receiver) {
            UpdateNotifyMessage message;
            message.code = download ? kUpdateDownloadFailed : kUpdateServerUnreachable;
            message.record = request;
            message.offeredVersion = state->offeredVersion;
            job->receiver->PostUpdateNotify(message);
        }
        return;
    }
    service.workers.push_back(Worker{std::move(thread), done});
}

}  // namespace

UpdateRequest::UpdateRequest() : state(std::make_shared<UpdateRequestState>()) {}

UpdateRequest::~UpdateRequest() {
    Service& service = TheService();
    std::lock_guard lock(service.mutex);
    CancelLocked(*state);
}

double UpdateRequest::offeredVersion() const {
    std::lock_guard lock(TheService().mutex);
    return state->offeredVersion;
}

void AuConfigure(const UpdateServiceOptions& options) {
    StartHttp();
    Service& service = TheService();
    service.Shutdown();
    std::lock_guard lock(service.mutex);
    service.options = options;
    service.current = nullptr;
}

void AuShutdown() {
    TheService().Shutdown();
}

void AuWaitIdle() {
    Service& service = TheService();
    {
        std::unique_lock lock(service.mutex);
        service.idle.wait(lock, [&] { return service.jobs.empty(); });
    }
    service.ReapWorkers();
}

bool AuBusy() {
    Service& service = TheService();
    std::lock_guard lock(service.mutex);
    return !service.jobs.empty();
}

void AuSetup(UpdateProduct* product) {
    Service& service = TheService();
    std::lock_guard lock(service.mutex);
    service.current = product;
}

void AuInitialize(UpdateRequest* request) {
    if (!request) return;
    Service& service = TheService();
    std::lock_guard lock(service.mutex);
    UpdateRequestState& state = *request->state;
    CancelLocked(state);
    state.product = service.current;
    state.haveOffer = false;
    state.offer = UpdateDescription();
    state.server.clear();
    state.offeredVersion = 0;
    state.downloadPath.clear();
    request->receiver = nullptr;
    request->postNotifications = 0;
}

void AuQueryServerAsync(UpdateRequest* request) {
    if (request) StartJob(request, false);
}

void AuDownloadUpdateAsync(UpdateRequest* request) {
    if (request) StartJob(request, true);
}

void AuAbort(UpdateRequest* request) {
    if (!request) return;
    Service& service = TheService();
    std::lock_guard lock(service.mutex);
    CancelLocked(*request->state);
}

void AuForgetReceiver(UpdateNotifySink* sink) {
    Service& service = TheService();
    std::lock_guard lock(service.mutex);
    for (auto& job : service.jobs) {
        if (job->receiver == sink) job->receiver = nullptr;
    }
}

// --- Installing -------------------------------------------------------------

namespace {

bool HashFile(FileSystem& files, const std::string& path, uint64_t* size, std::string* sha256) {
    File file;
    if (!files.OpenFile(path, FileOpenMode::Read, &file)) return false;
    Sha256 hash;
    std::string buffer(1 << 16, '\0');
    *size = 0;
    while (true) {
        size_t read = 0;
        if (!file.Read(buffer.data(), buffer.size(), &read)) return false;
        if (read == 0) break;
        hash.Update(std::string_view(buffer.data(), read));
        *size += read;
    }
    *sha256 = hash.FinishHex();
    return true;
}

UpdateInstallResult Failed(std::string message) {
    UpdateInstallResult result;
    result.outcome = UpdateInstallOutcome::Failed;
    result.message = std::move(message);
    return result;
}

}  // namespace

UpdateInstallResult AuRunAutoUpdate(UpdateRequest* record) {
    if (!record) return Failed("There is no update to install.");
    Service& service = TheService();
    Machine* machine = nullptr;
    UpdateProduct* product = nullptr;
    UpdateDescription offer;
    std::string downloadPath;
    {
        std::lock_guard lock(service.mutex);
        machine = service.options.machine;
        product = record->state->product;
        offer = record->state->offer;
        downloadPath = record->state->downloadPath;
    }
    if (!machine || !product || downloadPath.empty()) {
        return Failed("There is no downloaded update to install.");
    }
    FileSystem& files = machine->files();
    const std::string who = "update: " + product->displayName + ": ";

    // The download is checked again: it waited in a folder others can write.
    uint64_t size = 0;
    std::string sha256;
    if (!HashFile(files, downloadPath, &size, &sha256) || size != offer.size ||
        sha256 != offer.sha256) {
        files.DeleteFile(downloadPath);
        service.Log(who + downloadPath + " changed after its download; removed");
        return Failed(
            "The downloaded update changed after its download and was removed.\n"
            "Nothing was installed.");
    }

    if (product->install == UpdateInstallKind::ProgramPackage) {
        UpdateInstallResult result;
        result.outcome = UpdateInstallOutcome::ProgramPackageKept;
        result.packagePath = downloadPath;
        result.packageHostPath = files.ToHostPath(downloadPath).value_or(downloadPath);
        result.message = product->displayName + " v" + FormatVersion(offer.version) +
                         " has been downloaded and verified:\n" + result.packageHostPath +
                         "\n\nThe running program is not replaced. Close " + product->displayName +
                         " and install the new version from this file.";
        return result;
    }

    // Definitions: the new file must load before anything changes.
    ThreatDatabase trial;
    LoadReport report;
    if (!LoadDefinitions(files, downloadPath, PlaceholderFolders::FromShell(machine->shell()),
                         &trial, &report) ||
        trial.definitions().empty()) {
        files.DeleteFile(downloadPath);
        service.Log(who + downloadPath + " does not load as a definitions database; removed");
        UpdateInstallResult result;
        result.outcome = UpdateInstallOutcome::NotLoadable;
        result.message =
            "The downloaded definitions database could not be loaded.\n"
            "database.db has not been changed.";
        return result;
    }
    const std::string application = ShellFolders::ApplicationFolder();
    const std::string database = application + "database.db";
    const std::string backup = application + "database.bak";
    std::string content;
    if (files.PathFileExists(database)) {
        if (!files.ReadWholeFile(database, &content) ||
            !files.WriteWholeFileAtomic(backup, content)) {
            service.Log(who + "cannot keep " + database + " as " + backup);
            return Failed(
                "The current definitions could not be kept as database.bak.\n"
                "database.db has not been changed.");
        }
    }
    if (!files.ReadWholeFile(downloadPath, &content) ||
        !files.WriteWholeFileAtomic(database, content)) {
        service.Log(who + "cannot replace " + database);
        return Failed("database.db could not be replaced; it has not been changed.");
    }
    files.DeleteFile(downloadPath);
    {
        std::lock_guard lock(service.mutex);
        record->state->downloadPath.clear();
    }
    UpdateInstallResult result;
    result.outcome = UpdateInstallOutcome::DefinitionsInstalled;
    result.installedVersion = VersionNumberFromText(trial.version());
    product->installedVersion = result.installedVersion;
    product->installedDate = IsUpdateDate(trial.date()) ? trial.date() : offer.date;
    result.message = "The definitions database has been updated to version " +
                     FormatVersion(result.installedVersion) +
                     ".\nThe previous database was kept as database.bak.";
    return result;
}

}  // namespace tolvane
