// The update flows: the silent check the main window starts at start-up and
// the Update window, both driving the update-service library. They check
// the program first and then the definitions database, ask the user before
// each download, and have the library install what was downloaded. Both
// run on the user-interface thread; the library's notifications arrive
// through HandleUpdateNotify on that thread.
#pragma once

#include <string>

#include "base/prompt.h"
#include "update/update_event_loop.h"
#include "update/update_service.h"
#include "update/version_text.h"

namespace tolvane {

// The texts of the update flows.
namespace update_texts {
inline constexpr char kProgramQuestion[] =
    "Tolvane v%s has been released.\nDo you want to download this latest version?";
inline constexpr char kProgramCaption[] = "Tolvane Update";
inline constexpr char kDatabaseQuestion[] =
    "Tolvane definition database v%s is available.\nDo you want to download this update?";
inline constexpr char kDatabaseCaption[] = "Tolvane Database Update";
inline constexpr char kDownloadCompleteMessage[] = "Download complete";
inline constexpr char kDownloadFailedMessage[] = "Download Failed";
inline constexpr char kWindowTitle[] = "Tolvane Update";
inline constexpr char kChecking[] = "Checking for new updates..";
inline constexpr char kUnableToConnect[] = "Unable to connect to the server";
inline constexpr char kDownloadingEngine[] = "Downloading new engine update.";
inline constexpr char kCheckingDatabase[] = "Checking for database updates..";
inline constexpr char kDownloadingDatabase[] = "Downloading new database update.";
inline constexpr char kNoUpdates[] = "No updates available..";
inline constexpr char kDownloadComplete[] = "Download Complete.";
inline constexpr char kDownloadFailed[] = "Download Failed";
inline constexpr char kCancel[] = "Cancel";
inline constexpr char kOk[] = "Ok";
inline constexpr char kNoServerConfigured[] =
    "No update server is configured. A distributor or an administrator sets one for every "
    "user with the line UpdateServer=https://... in /etc/tolvane/settings.conf; a user can set "
    "one in ~/.config/tolvane/settings.conf.";
}  // namespace update_texts

// A question or message text with the version filled in for its "%s".
std::string FillVersion(const char* text, double version);

// What the flows need from the program around them (the main window): its
// prompter for the Yes/No questions before a download and the OK messages
// after it.
class UpdateHost : public Prompter {
  public:
    // database.db was replaced by newer definitions: load it again so that
    // the title and the scans use them (when no scan runs).
    virtual void DefinitionsInstalled() = 0;
};

// Which product a receiving window is dealing with.
enum class UpdatePhase { Program, Database };

// The program and definitions records shared by every flow of the session,
// and the main window's own flow: the start-up check and its notifications.
class UpdateClient : public UpdateNotifyHandler {
  public:
    // service: the session's update service, which must outlive the client.
    // applicationName: the caption of the plain messages ("Tolvane").
    UpdateClient(UpdateService& service, UpdateHost& host, std::string applicationName = "Tolvane");
    ~UpdateClient() override;
    UpdateClient(const UpdateClient&) = delete;
    UpdateClient& operator=(const UpdateClient&) = delete;

    // The running program's version and the definitions' version text (read
    // as a number, 0 when it is none). Set once, before the start-up check.
    void SetVersions(double programVersion, const std::string& definitionsVersionText);
    void SetVersions(double programVersion, double definitionsVersion);
    // The release date (DATE) of the loaded definitions: descriptions dated
    // before it are refused as replays.
    void SetDefinitionsDate(const std::string& date);

    // Starts the program query with the main window (its sink) as receiver.
    void StartUpCheck(UpdateNotifySink* mainWindow);
    // The Update window has opened: the start-up check stands down for good.
    // The window checks both products itself on the same requests, so the
    // check asks nothing and starts no query any more (it would otherwise ask
    // on top of the window and restart a request the window is using); only
    // a download the user already accepted in it is still told and installed.
    void StandDownStartUpCheck() { startUpStoodDown_ = true; }
    // The main window's notification handling.
    void HandleUpdateNotify(const UpdateNotifyMessage& message) override;
    UpdatePhase phase() const { return phase_; }

    // AuSetup, AuInitialize, receiver and notification flag, AuQueryServerAsync.
    void StartQuery(UpdateProduct& product, UpdateRequest& request, UpdateNotifySink* receiver);
    // AuRunAutoUpdate with the record, then tells the user how it went and
    // has new definitions loaded.
    void Install(UpdateRequest* record);

    UpdateService& service() { return service_; }
    UpdateHost& host() { return host_; }
    const std::string& applicationName() const { return applicationName_; }
    UpdateProduct& programProduct() { return programProduct_; }
    UpdateProduct& databaseProduct() { return databaseProduct_; }
    UpdateRequest& programRequest() { return programRequest_; }
    UpdateRequest& databaseRequest() { return databaseRequest_; }

  private:
    UpdateService& service_;
    UpdateHost& host_;
    std::string applicationName_;
    UpdateProduct programProduct_;
    UpdateProduct databaseProduct_;
    UpdateRequest programRequest_;
    UpdateRequest databaseRequest_;
    UpdateNotifySink* mainWindow_ = nullptr;
    UpdatePhase phase_ = UpdatePhase::Program;
    bool startUpStoodDown_ = false;
};

// The Update window's face: a status line, one push button and closing.
class UpdateWindowView {
  public:
    virtual ~UpdateWindowView() = default;
    virtual void SetStatusText(const std::string& text) = 0;
    virtual void SetButtonCaption(const std::string& caption) = 0;
    // Ends the modal window.
    virtual void Close() = 0;
};

// The Update window ("Tolvane Update"): checks both products, showing each
// step in its status line. It asks its questions through the client's host.
class UpdateWindow : public UpdateNotifyHandler {
  public:
    UpdateWindow(UpdateClient& client, UpdateWindowView& view);
    // Stops being a receiver; pending requests go on unless cancelled.
    ~UpdateWindow() override;
    UpdateWindow(const UpdateWindow&) = delete;
    UpdateWindow& operator=(const UpdateWindow&) = delete;

    // On opening: the program query with this window (its sink) as receiver
    // and "Checking for new updates..". The sink must outlive the window;
    // the window stops it receiving when it goes.
    void Open(UpdateNotifySink* self);
    void HandleUpdateNotify(const UpdateNotifyMessage& message) override;
    // The push button: "Cancel" aborts both requests and closes; any other
    // caption only closes.
    void PressButton();

    UpdatePhase phase() const { return phase_; }
    const std::string& statusText() const { return status_; }
    const std::string& buttonCaption() const { return button_; }
    bool closed() const { return closed_; }

  private:
    void SetStatus(const std::string& text);
    void SetButton(const std::string& caption);
    void Close();

    UpdateClient& client_;
    UpdateWindowView& view_;
    UpdateNotifySink* self_ = nullptr;
    UpdatePhase phase_ = UpdatePhase::Program;
    std::string status_;
    std::string button_ = update_texts::kCancel;
    bool closed_ = false;
};

}  // namespace tolvane
