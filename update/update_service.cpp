#include "update/update_service.h"

#include "host/sha256.h"
#include "machine/machine.h"
#include "settings/host_settings.h"
#include "settings/settings_store.h"
#include "update/update_description.h"
#include "update/update_http.h"
#include "update/update_signature.h"

namespace tolvane {

// --- Receiving windows --------------------------------------------------------

struct UpdateSinkGate {
    std::mutex mutex;
    bool open = true;
};

UpdateNotifySink::UpdateNotifySink() : gate_(std::make_shared<UpdateSinkGate>()) {}

UpdateNotifySink::~UpdateNotifySink() {
    StopReceiving();
}

void UpdateNotifySink::StopReceiving() {
    std::lock_guard lock(gate_->mutex);
    gate_->open = false;
}

UpdateNotifySink::Handle::Handle(UpdateNotifySink* sink)
    : sink_(sink), gate_(sink ? sink->gate_ : nullptr) {}

void UpdateNotifySink::Handle::Deliver(const UpdateNotifyMessage& message) const {
    if (!gate_) return;
    std::lock_guard lock(gate_->mutex);
    if (gate_->open) sink_->PostUpdateNotify(message);
}

// --- Requests -------------------------------------------------------------------

// What a request's pending work needs to report: guarded by the state's mutex.
struct UpdateRequestState {
    std::mutex mutex;  // guards everything below
    UpdateProduct* product = nullptr;
    std::shared_ptr<UpdateJob> job;  // the pending work, if any
    bool haveOffer = false;
    UpdateDescription offer;
    std::string offerText;       // the description as signed
    std::string offerSignature;  // its signature file
    std::string server;          // the base address the offer came from
    double offeredVersion = 0;
    std::string downloadPath;  // the verified download (a Windows path)

    // Abandons the pending work; with the mutex held.
    void CancelLocked() {
        if (job) job->cancelled = true;
        job.reset();
    }
};

UpdateRequest::UpdateRequest() : state(std::make_shared<UpdateRequestState>()) {}

UpdateRequest::~UpdateRequest() {
    std::lock_guard lock(state->mutex);
    state->CancelLocked();
}

double UpdateRequest::offeredVersion() const {
    std::lock_guard lock(state->mutex);
    return state->offeredVersion;
}

// One piece of work on a request and where it reports.
struct UpdateService::Work {
    UpdateRequest* request = nullptr;
    std::shared_ptr<UpdateRequestState> state;
    std::shared_ptr<UpdateJob> job;
    UpdateNotifySink::Handle receiver;
    bool post = false;
};

// What a job's thread needs, copied on the calling thread when it starts.
struct UpdateService::JobInput {
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

UpdateService::UpdateService(UpdateServiceOptions options) : options_(std::move(options)) {
    StartHttp();
}

UpdateService::~UpdateService() {
    Shutdown();
}

void UpdateService::Shutdown() {
    jobs_.Shutdown();
}

void UpdateService::WaitIdle() {
    jobs_.WaitIdle();
}

bool UpdateService::Busy() const {
    return jobs_.Busy();
}

void UpdateService::Log(const std::string& line) const {
    if (options_.log) options_.log(line);
}

void UpdateService::AuSetup(UpdateProduct* product) {
    std::lock_guard lock(mutex_);
    current_ = product;
}

void UpdateService::AuInitialize(UpdateRequest* request) {
    if (!request) return;
    UpdateProduct* product = nullptr;
    {
        std::lock_guard lock(mutex_);
        product = current_;
    }
    UpdateRequestState& state = *request->state;
    std::lock_guard lock(state.mutex);
    state.CancelLocked();
    state.product = product;
    state.haveOffer = false;
    state.offer = UpdateDescription();
    state.offerText.clear();
    state.offerSignature.clear();
    state.server.clear();
    state.offeredVersion = 0;
    state.downloadPath.clear();
    request->receiver = nullptr;
    request->postNotifications = 0;
}

void UpdateService::AuQueryServerAsync(UpdateRequest* request) {
    if (request) StartJob(request, false);
}

void UpdateService::AuDownloadUpdateAsync(UpdateRequest* request) {
    if (request) StartJob(request, true);
}

void UpdateService::AuAbort(UpdateRequest* request) {
    if (!request) return;
    std::lock_guard lock(request->state->mutex);
    request->state->CancelLocked();
}

// Posts the work's outcome unless it was cancelled or superseded; commit,
// run first under the same lock, records the outcome in the request (and
// may still refuse, which turns the code into a failed download).
void UpdateService::Finish(const Work& work, UpdateNotifyCode code,
                           const std::function<bool()>& commit) {
    std::lock_guard lock(work.state->mutex);
    if (work.job->cancelled || work.state->job != work.job) return;
    work.state->job.reset();
    if (commit && !commit()) code = kUpdateDownloadFailed;
    if (!work.post) return;
    UpdateNotifyMessage message;
    message.code = code;
    message.record = work.request;
    message.offeredVersion = work.state->offeredVersion;
    work.receiver.Deliver(message);
}

void UpdateService::StartJob(UpdateRequest* request, bool download) {
    Work work;
    work.request = request;
    work.state = request->state;
    work.job = jobs_.NewJob();
    work.receiver = UpdateNotifySink::Handle(request->receiver);
    work.post = request->postNotifications == 1;
    JobInput input;
    {
        UpdateRequestState& state = *work.state;
        std::lock_guard lock(state.mutex);
        state.CancelLocked();
        if (state.product) {
            input.settingsKey = state.product->settingsKey;
            input.descriptionPath = state.product->descriptionPath;
            input.displayName = state.product->displayName;
            input.installedVersion = state.product->installedVersion;
            input.install = state.product->install;
            input.installedDate = state.product->installedDate;
        }
        input.haveOffer = state.haveOffer;
        input.offer = state.offer;
        input.server = state.server;
        if (download) {
            state.downloadPath.clear();
        } else {
            state.haveOffer = false;
            state.offeredVersion = 0;
        }
        state.job = work.job;
    }
    if (!jobs_.Start(work.job, [this, work, input, download] { Run(work, input, download); })) {
        // No thread to be had: the request fails at once, as it would later.
        Finish(work, download ? kUpdateDownloadFailed : kUpdateServerUnreachable);
    }
}

void UpdateService::Run(const Work& work, const JobInput& input, bool download) {
    const bool usable =
        options_.machine && !input.descriptionPath.empty() && input.descriptionPath.front() == '/';
    if (!usable) {
        Log("update: the request was not set up with a product and a machine");
        Finish(work, download ? kUpdateDownloadFailed : kUpdateServerUnreachable);
    } else if (download) {
        RunDownload(work, input);
    } else {
        RunQuery(work, input);
    }
}

UpdateInstallResult UpdateService::AuRunAutoUpdate(UpdateRequest* record) {
    UpdateInstallResult nothing;
    nothing.message = "There is no update to install.";
    if (!record) return nothing;
    UpdateProduct* product = nullptr;
    UpdateInstallation installation;
    {
        std::lock_guard lock(record->state->mutex);
        product = record->state->product;
        installation.offer = record->state->offer;
        installation.descriptionText = record->state->offerText;
        installation.descriptionSignature = record->state->offerSignature;
        installation.downloadPath = record->state->downloadPath;
    }
    if (!product) {
        nothing.message = "There is no downloaded update to install.";
        return nothing;
    }
    installation.machine = options_.machine;
    installation.displayName = product->displayName;
    installation.kind = product->install;
    installation.log = options_.log;
    UpdateInstallResult result = InstallUpdate(installation);
    if (result.outcome == UpdateInstallOutcome::DefinitionsInstalled) {
        std::lock_guard lock(record->state->mutex);
        record->state->downloadPath.clear();
        product->installedVersion = result.installedVersion;
        product->installedDate = result.installedDate;
    }
    return result;
}

// --- Queries --------------------------------------------------------------------

namespace {

HttpSettings Http(const UpdateServiceOptions& options) {
    return HttpSettings{options.connectTimeout, options.userAgent};
}

// The update server from this computer's Tolvane settings (host_settings.h).
// A machine's own UpdateServer value would let the machine being cleaned
// choose where Tolvane connects: it is only reported as ignored.
std::string ServerSetting(const UpdateServiceOptions& options, const std::string& who) {
    HostSettingValue host = HostUpdateServer();
    if (!host.refused.empty() && options.log)
        options.log(who + "settings passed over (" + host.refused + ")");
    if (options.machine && options.log) {
        const std::string machineValue =
            SettingsStore(options.machine->registry()).ReadString(setting::kUpdateServer);
        const SettingInfo* info = FindSetting(setting::kUpdateServer);
        if (!machineValue.empty() && info && machineValue != info->defaultValue)
            options.log(who + "the machine's UpdateServer setting \"" + machineValue +
                        "\" is ignored: the update server comes from this computer's Tolvane "
                        "settings");
    }
    return host.value;
}

// Why a fetched description does not count ("" when it does): it must be
// signed by a trusted key over its exact bytes, well-formed, for this
// product, and not older than what is installed.
std::string RefuseDescription(const UpdateServiceOptions& options, UpdateInstallKind install,
                              const std::string& installedDate, const std::string& body,
                              const std::string& signatureUrl, const FetchResult& signatureFetch,
                              const std::string& signature, UpdateDescription* offer) {
    if (signatureFetch.outcome == FetchOutcome::HttpError) {
        return "the signature is missing (" + signatureUrl + ": " + signatureFetch.error + ")";
    }
    std::string detail = "larger than 4 KiB";
    if (signatureFetch.outcome != FetchOutcome::Ok ||
        VerifyUpdateSignature(body, signature, options.trustedKeys, &detail) !=
            SignatureVerdict::Valid) {
        return "the signature is wrong (" + detail + ")";
    }
    std::string error;
    if (!ParseUpdateDescription(body, offer, &error)) {
        return "not a valid update description (" + error + ")";
    }
    const char* expected =
        install == UpdateInstallKind::DefinitionsDatabase ? kDefinitionsProduct : kProgramProduct;
    if (offer->product != expected) {
        return "describes the " + offer->product + ", not the " + expected;
    }
    if (IsUpdateDate(installedDate) && offer->date < installedDate) {
        return "dated " + offer->date + ", before the installed release of " + installedDate +
               " (an old description replayed)";
    }
    return "";
}

// A description and its signature as fetched.
struct FetchedDescription {
    FetchResult fetch;  // the description's, or the signature's when that failed to connect
    std::string failedUrl;
    std::string body;
    bool tooLarge = false;
    FetchResult signatureFetch;
    std::string signature;
};

FetchedDescription FetchDescription(const UpdateServiceOptions& options, const std::string& url,
                                    const std::atomic<bool>& cancelled) {
    FetchedDescription fetched;
    fetched.failedUrl = url;
    fetched.fetch = FetchText(url, kMaxUpdateDescriptionBytes, Http(options), options.queryTimeout,
                              cancelled, &fetched.body, &fetched.tooLarge);
    if (fetched.fetch.outcome != FetchOutcome::Ok) return fetched;
    const std::string signatureUrl = url + kUpdateSignatureSuffix;
    bool signatureTooLarge = false;
    fetched.signatureFetch =
        FetchText(signatureUrl, kMaxUpdateSignatureBytes, Http(options), options.queryTimeout,
                  cancelled, &fetched.signature, &signatureTooLarge);
    if (fetched.signatureFetch.outcome == FetchOutcome::Cancelled ||
        fetched.signatureFetch.outcome == FetchOutcome::Unreachable) {
        fetched.fetch = fetched.signatureFetch;
        fetched.failedUrl = signatureUrl;
    }
    return fetched;
}

}  // namespace

bool UpdateServerConfigured() {
    return !HostUpdateServer().value.empty();
}

void UpdateService::RunQuery(const Work& work, const JobInput& input) {
    const std::string who = "update: " + input.displayName + ": ";
    std::string setting = ServerSetting(options_, who);
    std::string server;
    if (setting.empty()) {
        Log(who + "no update server is configured (UpdateServer in settings.conf)");
        Finish(work, kUpdateServerUnreachable);
        return;
    }
    if (!CleanServerAddress(setting, &server)) {
        Log(who + "the update server \"" + setting + "\" is no http:// or https:// address");
        Finish(work, kUpdateServerUnreachable);
        return;
    }
    const std::string url = server + input.descriptionPath;
    FetchedDescription fetched = FetchDescription(options_, url, work.job->cancelled);
    switch (fetched.fetch.outcome) {
        case FetchOutcome::Cancelled:
            return;
        case FetchOutcome::Unreachable:
        case FetchOutcome::HttpError:
            Log(who + fetched.failedUrl + ": " + fetched.fetch.error);
            Finish(work, kUpdateServerUnreachable);
            return;
        case FetchOutcome::StoppedByData:
        case FetchOutcome::Ok:
            break;
    }
    UpdateDescription offer;
    std::string problem =
        fetched.tooLarge ? "not a valid update description (larger than 64 KiB)"
                         : RefuseDescription(options_, input.install, input.installedDate,
                                             fetched.body, url + kUpdateSignatureSuffix,
                                             fetched.signatureFetch, fetched.signature, &offer);
    if (!problem.empty()) {
        Log(who + url + ": " + problem + "; treated as no update");
        Finish(work, kUpdateNoNewerVersion);
        return;
    }
    const bool newer = offer.version > input.installedVersion;
    Finish(work, newer ? kUpdateNewerVersion : kUpdateNoNewerVersion, [&] {
        work.state->haveOffer = newer;
        work.state->offer = offer;
        work.state->offerText = fetched.body;
        work.state->offerSignature = fetched.signature;
        work.state->server = server;
        work.state->offeredVersion = offer.version;
        return true;
    });
}

// --- Downloads ------------------------------------------------------------------

namespace {

// The application folder and its Updates folder, made when missing.
bool MakeUpdatesFolder(FileSystem& files) {
    return files.CreateFolderPath(UpdatesFolder());
}

// Fetches the offered file into file (tempPath), holding it to the
// announced size and SHA-256; "" when it arrived whole, else what went
// wrong (and *cancelled when the work was cancelled). Closes the file.
std::string DownloadInto(const UpdateServiceOptions& options, const std::string& url,
                         const UpdateDescription& offer, File& file, const std::string& tempPath,
                         const std::atomic<bool>& cancelledFlag, bool* cancelled) {
    Sha256 hash;
    uint64_t received = 0;
    std::string problem;
    FetchResult fetched = FetchUrl(
        url, Http(options), options.downloadTimeout, cancelledFlag, [&](std::string_view data) {
            if (received + data.size() > offer.size) {
                problem = "the download is larger than the " + std::to_string(offer.size) +
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
    *cancelled = fetched.outcome == FetchOutcome::Cancelled;
    if (!problem.empty() || *cancelled) return problem;
    if (fetched.outcome != FetchOutcome::Ok) return fetched.error;
    if (received != offer.size) {
        return "the download has " + std::to_string(received) + " bytes, not the " +
               std::to_string(offer.size) + " announced";
    }
    if (hash.FinishHex() != offer.sha256) return "the download's SHA-256 is not the one announced";
    if (!flushed) return "cannot write " + tempPath;
    return "";
}

}  // namespace

void UpdateService::RunDownload(const Work& work, const JobInput& input) {
    const std::string who = "update: " + input.displayName + ": ";
    if (!input.haveOffer) {
        Log(who + "no newer version was offered to download");
        Finish(work, kUpdateDownloadFailed);
        return;
    }
    FileSystem& files = options_.machine->files();
    if (!MakeUpdatesFolder(files)) {
        Log(who + "the folder " + UpdatesFolder() + " cannot be made");
        Finish(work, kUpdateDownloadFailed);
        return;
    }
    const std::string finalPath = UpdatesFolder() + "\\" + input.offer.fileName;
    const std::string tempPath = finalPath + "." + std::to_string(work.job->id) + ".part";
    const std::string url = input.server + input.offer.file;
    File file;
    if (!files.OpenFile(tempPath, FileOpenMode::Write, &file)) {
        Log(who + "cannot write " + tempPath);
        Finish(work, kUpdateDownloadFailed);
        return;
    }
    bool cancelled = false;
    std::string problem =
        DownloadInto(options_, url, input.offer, file, tempPath, work.job->cancelled, &cancelled);
    if (cancelled || !problem.empty()) {
        files.DeleteFile(tempPath);
        if (cancelled) return;
        Log(who + url + ": " + problem);
        Finish(work, kUpdateDownloadFailed);
        return;
    }
    bool kept = false;
    Finish(work, kUpdateDownloadComplete, [&] {
        if (files.PathFileExists(finalPath)) files.DeleteFile(finalPath);
        kept = files.MoveFile(tempPath, finalPath);
        if (kept) work.state->downloadPath = finalPath;
        return kept;
    });
    // Cancelled at the last moment, or the name could not be taken.
    if (!kept) files.DeleteFile(tempPath);
}

}  // namespace tolvane
