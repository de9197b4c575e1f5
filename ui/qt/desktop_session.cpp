#include "ui/qt/desktop_session.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include "app/machine_session.h"
#include "definitions/threat_database.h"
#include "machine/machine.h"
#include "ui/qt/dialogs.h"
#include "ui/qt/main_window.h"
#include "ui/qt/message_boxes.h"
#include "ui/qt/qt_ui_thread.h"
#include "ui/qt/update_dialog.h"
#include "update/update_event_loop.h"

namespace tolvane {
namespace {

// Waits while the window keeps repainting (the splash's pauses).
void PauseWithEvents(int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
}

}  // namespace

DesktopSession::DesktopSession(Machine& machine, DesktopSessionOptions options)
    : machine_(machine), options_(std::move(options)) {
    ApplyDesktopLook();
    window_ = std::make_unique<MainWindow>();
    messages_ = std::make_unique<QtMessageBoxes>(window_.get());
    dialogs_ = std::make_unique<QtDialogs>(
        machine_.files(), *messages_, [this](const std::string& address) {
            if (machines_ && controllerBuilt_)
                controller().OpenWebPage(address);
            else
                this->machine().launcher().OpenWebAddress(address);
        });
    dialogs_->SetParent(window_.get());
    ui_ = std::make_unique<QtUiThread>(this);
    ConnectUpdateService();
}

DesktopSession::~DesktopSession() {
    Shutdown();
    machines_.reset();
    window_->onEnded = nullptr;
}

Application& DesktopSession::app() {
    return machines_->app();
}

Machine& DesktopSession::machine() {
    return machines_ && machines_->started() ? machines_->machine() : machine_;
}

void DesktopSession::ConnectUpdateService() {
    if (mainSink_) mainSink_->Disconnect();
    mainSink_.reset();
    updates_.reset();
    if (updateService_) updateService_->Shutdown();
    UpdateServiceOptions service;
    service.machine = &machine();
    for (const std::string& key : options_.extraUpdateKeys) service.trustedKeys.push_back(key);
    updateService_ = std::make_unique<UpdateService>(std::move(service));
    updates_ = std::make_unique<UpdateClient>(*updateService_, *this);
}

// Another machine runs in the window: the window, the file dialogs and the
// update library follow it.
void DesktopSession::MachineReopened(Application& app) {
    window_->Attach(&app.controller());
    dialogs_->SetFiles(machine().files());
    ConnectUpdateService();
}

StartResult DesktopSession::Start() {
    ApplicationOptions options;
    options.commandLine = options_.commandLine;
    options.shippedDataFolder = options_.shippedDataFolder;
    options.hostWorkingFolder = options_.hostWorkingFolder;
    options.rightsNote = options_.rightsNote;
    options.definitionsFile = options_.definitionsFile;
    if (options_.splashPauses) options.pause = PauseWithEvents;
    options.scanSource = options_.scanSource;
    if (options_.connectUpdates) {
        options.flows.updateDialog = [this] { RunUpdateDialog(*updates_, this, window_.get()); };
        options.flows.silentUpdateQuery = [this](double program, double definitions) {
            updates_->SetVersions(program, definitions);
            updates_->SetDefinitionsDate(app().database().date());
            mainSink_ = std::make_unique<PostingUpdateSink>(
                [this](std::function<void()> task) {
                    QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
                },
                *updates_);
            updates_->StartUpCheck(mainSink_.get());
        };
    }
    machines_ = std::make_unique<MachineSession>(
        ApplicationViews{{*window_, *messages_, *dialogs_, *dialogs_, *dialogs_, *ui_}, *dialogs_},
        *dialogs_, std::move(options));
    machines_->findMachines = options_.findMachines;
    machines_->machineOptions = options_.machineOptions;
    machines_->reopened = [this](Application& app) { MachineReopened(app); };
    StartResult result = machines_->Start(machine_);
    if (result == StartResult::AlreadyRunning) return result;
    controllerBuilt_ = true;
    window_->Attach(&app().controller());
    if (result != StartResult::Running) return result;
    window_->show();
    // The command line is handled on the first tick, inside the shown window.
    QTimer::singleShot(100, this, [this] {
        if (!machines_ || shutDown_) return;
        app().FirstTick();
        firstTickDone_ = true;
    });
    return result;
}

int DesktopSession::Exec() {
    if (!machines_ || !machines_->started() || window_->ended()) {
        Shutdown();
        return 0;
    }
    QEventLoop loop;
    window_->onEnded = [&loop] { loop.quit(); };
    if (!window_->ended()) loop.exec();
    window_->onEnded = nullptr;
    Shutdown();
    return 0;
}

void DesktopSession::Shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    if (machines_ && controllerBuilt_) {
        MainController& controller = app().controller();
        controller.BeginShutdown();
        while (controller.WorkerRunning()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(2);
        }
        // The worker's last posted task (its join) is harmless to run now.
        QCoreApplication::processEvents();
    }
    ui_->Close();
    if (mainSink_) mainSink_->Disconnect();
    updateService_->Shutdown();
    mainSink_.reset();
}

PromptAnswer DesktopSession::Ask(const Prompt& prompt) {
    return messages_->Ask(prompt);
}

void DesktopSession::DefinitionsInstalled() {
    if (!machines_ || !controllerBuilt_) return;
    if (!controller().WorkerRunning()) {
        ReloadDefinitions();
        return;
    }
    // The scan uses the loaded definitions: load the new ones once it ends.
    if (reloadPending_) return;
    reloadPending_ = true;
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this, timer] {
        if (shutDown_ || !machines_) {
            timer->deleteLater();
            return;
        }
        if (controller().WorkerRunning()) return;
        timer->deleteLater();
        reloadPending_ = false;
        ReloadDefinitions();
    });
    timer->start(500);
}

void DesktopSession::ReloadDefinitions() {
    // The rows and the ignore list point at the definitions being replaced.
    controller().results().Clear();
    app().ReloadDefinitions();
}

}  // namespace tolvane
