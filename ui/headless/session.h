// The headless session (inside the front end): start-up through
// Application, the first tick, then each command of the line on the main
// controller, with ScriptedViews printing what the window would show.
//
// The commands are one table (session_commands.cpp): a word, how its
// arguments are read, what its first argument may be, its help text and the
// session function that runs it. The usage text and each command's --help
// are printed from that table.
#pragma once

#include <iosfwd>
#include <memory>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/views/scripted_views.h"
#include "host/privileges.h"
#include "ui/headless/headless.h"
#include "update/update_event_loop.h"

namespace tolvane {

class Session;
class HeadlessUpdates;
class UpdateClient;
class UpdateService;
struct HeadlessCommand;

// One command of the line: its table entry and its arguments.
struct Step {
    const HeadlessCommand* command = nullptr;
    std::vector<std::string> args;
    // The first argument, or "" when there is none.
    std::string First() const { return args.empty() ? std::string() : args[0]; }
};

// The words after a command word, read one at a time.
class CommandWords {
  public:
    explicit CommandWords(const std::vector<std::string>& words) : words_(words) {}
    bool AtEnd() const { return next_ >= words_.size(); }
    const std::string& Peek() const { return words_[next_]; }
    const std::string& Take() { return words_[next_++]; }
    // Moves the next word into args; false when there is none.
    bool TakeInto(std::vector<std::string>* args) {
        if (AtEnd()) return false;
        args->push_back(Take());
        return true;
    }

  private:
    const std::vector<std::string>& words_;
    size_t next_ = 0;
};

struct HeadlessCommand {
    const char* word;
    // Takes the command's arguments from the words that follow it; false
    // when they are missing or malformed.
    bool (*readArguments)(CommandWords& words, std::vector<std::string>* args);
    // What the first argument may be; empty: anything.
    std::vector<std::string> choices;
    // The usage line and the text under it.
    const char* help;
    // Runs the command; false when it failed.
    bool (Session::*run)(const Step& step);
    // The button or menu item a command that only presses one presses.
    MainCommand button = MainCommand::About;
};

// The commands, in the order the usage lists them.
std::span<const HeadlessCommand> HeadlessCommands();
// The command of a word, or nullptr.
const HeadlessCommand* FindHeadlessCommand(const std::string& word);

class Session {
  public:
    Session(const HeadlessOptions& options, std::ostream& out, std::ostream& err);
    ~Session();

    // The commands' status; for a run with a scan, the scan statuses
    // (kExitScanClean, kExitScanListed, kExitScanError).
    int Run();

    // The commands (session_commands.cpp).
    bool Scan(const Step& step);
    bool Start(const Step& step);
    bool Stop(const Step& step);
    bool List(const Step& step);
    bool Select(const Step& step);
    bool Ignore(const Step& step);
    bool Unignore(const Step& step);
    bool Summary(const Step& step);
    bool Details(const Step& step);
    bool Settings(const Step& step);
    bool Remove(const Step& step);
    bool Advanced(const Step& step);
    bool Restore(const Step& step);
    bool PressButton(const Step& step);
    bool Logfile(const Step& step);

  private:
    int RunSteps();
    // Splits the words into commands; false (and a message) on bad usage.
    bool Parse(std::vector<Step>* steps);
    // Opens the machine; false (with the failure printed) when it cannot be.
    bool OpenMachine();
    // Points the scripted views at the machine, the answers and the output.
    void ConfigureViews();
    // The update service, only when a command asks for it (it goes to the
    // network); the silent start-up query is the desktop window's.
    void ConfigureUpdates(const std::vector<Step>& steps, ApplicationOptions* appOptions);
    // Starts the application; false (with the failure printed) when it did
    // not come up.
    bool StartApplication(const std::vector<Step>& steps);
    // The first tick, then every command; the commands' status.
    int RunCommands(const std::vector<Step>& steps);
    void PrintDocument();
    void Shutdown();

    void Print(const std::string& line);
    void WaitForScan();
    // Waits for a scan a command may have started and prints it when it did.
    void FinishScan(bool started);
    void PrintRows(bool withIndex);
    void PrintScanResult();
    // With --json: the document of a run that never got past start-up, with
    // the messages shown so far and why it failed.
    void PrintFailureDocument(const std::string& failure);
    // The General Settings and Scan Settings windows with these settings
    // (key=value) and clicks; false when a setting or value is unknown.
    bool GeneralSettings(const std::vector<std::pair<std::string, std::string>>& pairs,
                         const std::vector<std::string>& clicks);
    bool ScanSettings(const std::vector<std::pair<std::string, std::string>>& pairs,
                      const std::vector<std::string>& clicks);
    void PrintSettings();
    MainController& controller() { return app_->controller(); }
    nlohmann::json RowsJson();
    nlohmann::json NotesJson();

    const HeadlessOptions& options_;
    std::ostream& out_;
    std::ostream& err_;
    Privileges privileges_;
    std::unique_ptr<Machine> machine_;
    ScriptedViews views_;
    TaskQueueUiThread ui_;
    std::unique_ptr<Application> app_;
    std::unique_ptr<HeadlessUpdates> updateHost_;
    std::unique_ptr<UpdateService> updateService_;  // before the client, which uses it
    std::unique_ptr<UpdateClient> updates_;
    bool updatesConfigured_ = false;
    nlohmann::json messages_ = nlohmann::json::array();
    nlohmann::json output_ = nlohmann::json::array();
    bool progressLine_ = false;
    bool scanRun_ = false;  // a scan command or -s is on the line
    size_t listed_ = 0;     // rows listed when the last scan ended
};

}  // namespace tolvane
