#include "update/update_client.h"

#include <string_view>

namespace tolvane {

namespace t = update_texts;

namespace {

// The question before a download; true for Yes.
bool AskYesNo(Prompter& prompter, std::string text, std::string caption) {
    return prompter.Ask({std::move(caption), std::move(text), PromptButtons::YesNo,
                         PromptIcon::Question}) == PromptAnswer::Yes;
}

void Tell(Prompter& prompter, std::string text, std::string caption) {
    prompter.Ask({std::move(caption), std::move(text), PromptButtons::Ok, PromptIcon::Information});
}

}  // namespace

std::string FillVersion(const char* text, double version) {
    std::string result(text);
    size_t at = result.find("%s");
    if (at != std::string::npos) result.replace(at, 2, FormatVersion(version));
    return result;
}

// --- UpdateClient -------------------------------------------------------------

UpdateClient::UpdateClient(UpdateService& service, UpdateHost& host, std::string applicationName)
    : service_(service), host_(host), applicationName_(std::move(applicationName)) {
    programProduct_.productCode = "TOLVANE";
    programProduct_.settingsKey = "SOFTWARE\\Tolvane";
    programProduct_.descriptionPath = "/tolvane/updatecore.txt";
    programProduct_.displayName = "Tolvane";
    programProduct_.install = UpdateInstallKind::ProgramPackage;
    databaseProduct_.productCode = "TOLVANE";
    databaseProduct_.settingsKey = "SOFTWARE\\Tolvane";
    databaseProduct_.descriptionPath = "/tolvane/update.txt";
    databaseProduct_.displayName = "Tolvane Database";
    databaseProduct_.install = UpdateInstallKind::DefinitionsDatabase;
}

UpdateClient::~UpdateClient() {
    // Work still pending would post to windows that are going away.
    service_.AuAbort(&programRequest_);
    service_.AuAbort(&databaseRequest_);
}

void UpdateClient::SetVersions(double programVersion, const std::string& definitionsVersionText) {
    programProduct_.installedVersion = programVersion;
    databaseProduct_.installedVersion = VersionNumberFromText(definitionsVersionText);
}

void UpdateClient::SetVersions(double programVersion, double definitionsVersion) {
    programProduct_.installedVersion = programVersion;
    databaseProduct_.installedVersion = definitionsVersion;
}

void UpdateClient::SetDefinitionsDate(const std::string& date) {
    databaseProduct_.installedDate = date;
}

void UpdateClient::StartQuery(UpdateProduct& product, UpdateRequest& request,
                              UpdateNotifySink* receiver) {
    service_.AuSetup(&product);
    service_.AuInitialize(&request);
    request.receiver = receiver;
    request.postNotifications = 1;
    service_.AuQueryServerAsync(&request);
}

void UpdateClient::StartUpCheck(UpdateNotifySink* mainWindow) {
    mainWindow_ = mainWindow;
    phase_ = UpdatePhase::Program;
    if (!UpdateServerConfigured()) return;  // the silent check has nowhere to ask
    StartQuery(programProduct_, programRequest_, mainWindow_);
}

void UpdateClient::Install(UpdateRequest* record) {
    UpdateInstallResult result = service_.AuRunAutoUpdate(record);
    std::string caption = applicationName_;
    if (result.outcome == UpdateInstallOutcome::ProgramPackageKept) caption = t::kProgramCaption;
    if (result.outcome == UpdateInstallOutcome::DefinitionsInstalled ||
        result.outcome == UpdateInstallOutcome::NotLoadable) {
        caption = t::kDatabaseCaption;
    }
    if (!result.message.empty()) Tell(host_, result.message, caption);
    if (result.outcome == UpdateInstallOutcome::DefinitionsInstalled) host_.DefinitionsInstalled();
}

void UpdateClient::HandleUpdateNotify(const UpdateNotifyMessage& message) {
    const bool downloadEnded =
        message.code == kUpdateDownloadComplete || message.code == kUpdateDownloadFailed;
    if (startUpStoodDown_ && !downloadEnded) return;
    const bool programPhase = phase_ == UpdatePhase::Program;
    switch (message.code) {
        case kUpdateServerUnreachable:
            phase_ = UpdatePhase::Program;
            break;
        case kUpdateNewerVersion:
            if (programPhase) {
                if (AskYesNo(host_, FillVersion(t::kProgramQuestion, message.offeredVersion),
                             t::kProgramCaption)) {
                    service_.AuDownloadUpdateAsync(&programRequest_);
                } else {
                    phase_ = UpdatePhase::Database;
                    StartQuery(databaseProduct_, databaseRequest_, mainWindow_);
                }
            } else if (AskYesNo(host_, FillVersion(t::kDatabaseQuestion, message.offeredVersion),
                                t::kDatabaseCaption)) {
                service_.AuDownloadUpdateAsync(&databaseRequest_);
            }
            break;
        case kUpdateNoNewerVersion:
            if (programPhase) {
                phase_ = UpdatePhase::Database;
                StartQuery(databaseProduct_, databaseRequest_, mainWindow_);
            }
            break;
        case kUpdateDownloadComplete:
            Tell(host_, t::kDownloadCompleteMessage, applicationName_);
            Install(message.record);
            break;
        case kUpdateDownloadFailed:
            Tell(host_, t::kDownloadFailedMessage, applicationName_);
            break;
        default:
            break;
    }
}

// --- UpdateWindow -------------------------------------------------------------

UpdateWindow::UpdateWindow(UpdateClient& client, UpdateWindowView& view)
    : client_(client), view_(view) {}

UpdateWindow::~UpdateWindow() {
    if (self_) self_->StopReceiving();
}

void UpdateWindow::SetStatus(const std::string& text) {
    status_ = text;
    view_.SetStatusText(text);
}

void UpdateWindow::SetButton(const std::string& caption) {
    button_ = caption;
    view_.SetButtonCaption(caption);
}

void UpdateWindow::Close() {
    if (closed_) return;
    closed_ = true;
    view_.Close();
}

void UpdateWindow::Open(UpdateNotifySink* self) {
    self_ = self;
    client_.StandDownStartUpCheck();
    if (!UpdateServerConfigured()) {
        SetStatus(t::kNoServerConfigured);
        SetButton(t::kOk);
        return;
    }
    client_.StartQuery(client_.programProduct(), client_.programRequest(), self_);
    SetStatus(t::kChecking);
}

void UpdateWindow::HandleUpdateNotify(const UpdateNotifyMessage& message) {
    if (closed_) return;  // a late message for a window the user already left
    const bool programPhase = phase_ == UpdatePhase::Program;
    UpdateHost& host = client_.host();
    switch (message.code) {
        case kUpdateServerUnreachable:
            SetStatus(t::kUnableToConnect);
            SetButton(t::kOk);
            phase_ = UpdatePhase::Program;
            break;
        case kUpdateNewerVersion:
            if (programPhase) {
                if (AskYesNo(host, FillVersion(t::kProgramQuestion, message.offeredVersion),
                             t::kProgramCaption)) {
                    SetButton(t::kCancel);
                    SetStatus(t::kDownloadingEngine);
                    client_.service().AuDownloadUpdateAsync(&client_.programRequest());
                } else {
                    phase_ = UpdatePhase::Database;
                    client_.StartQuery(client_.databaseProduct(), client_.databaseRequest(), self_);
                    SetStatus(t::kCheckingDatabase);
                    SetButton(t::kCancel);
                }
            } else if (AskYesNo(host, FillVersion(t::kDatabaseQuestion, message.offeredVersion),
                                t::kDatabaseCaption)) {
                SetStatus(t::kDownloadingDatabase);
                client_.service().AuDownloadUpdateAsync(&client_.databaseRequest());
            } else {
                Close();
            }
            break;
        case kUpdateNoNewerVersion:
            if (programPhase) {
                phase_ = UpdatePhase::Database;
                client_.StartQuery(client_.databaseProduct(), client_.databaseRequest(), self_);
                SetStatus(t::kCheckingDatabase);
                SetButton(t::kCancel);
            } else {
                SetStatus(t::kNoUpdates);
                SetButton(t::kOk);
            }
            break;
        case kUpdateDownloadComplete:
            SetStatus(t::kDownloadComplete);
            client_.Install(message.record);
            break;
        case kUpdateDownloadFailed:
            SetStatus(t::kDownloadFailed);
            SetButton(t::kOk);
            break;
        default:
            break;
    }
}

void UpdateWindow::PressButton() {
    if (button_ == t::kCancel) {
        client_.service().AuAbort(&client_.programRequest());
        client_.service().AuAbort(&client_.databaseRequest());
    }
    Close();
}

}  // namespace tolvane
