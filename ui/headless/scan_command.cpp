// tolvane --headless [--machine PREFIX] [--json] scan MODE
//
// Stores MODE as "LastScanMode" (as the Scan menu does) and runs the scan to
// its end with the stored lists and switches: smart, custom, drives
// (Drives & Folders), registry, memory, files. Prints one line per listed
// object (vendor, type, category, object, danger; tab-separated), the nine
// counters ("name: value") and the log's path, or with --json one document
// {"rows": [...], "counters": {...}, "logPath": ..., "logHostPath": ...}.
// A progress line goes to stderr while stderr is a terminal. Ctrl-C stops
// the scan as the Stop button does (the log still ends properly). Exit 0
// when the scan ran, whatever it found.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "app/settings_store.h"
#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "platform/codepage.h"
#include "platform/machine.h"
#include "scan/ignore_filter.h"
#include "scan/ignore_list.h"
#include "scan/scan_engine.h"
#include "ui/headless/headless.h"

namespace tolvane {
namespace {

std::atomic<bool> gInterrupted{false};

void OnInterrupt(int) {
    gInterrupted.store(true);
}

const std::map<std::string, ScanMode>& ModeWords() {
    static const std::map<std::string, ScanMode> words = {
        {"smart", ScanMode::Smart},
        {"custom", ScanMode::Custom},
        {"drives", ScanMode::DrivesAndFolders},
        {"registry", ScanMode::Registry},
        {"memory", ScanMode::Memory},
        {"files", ScanMode::Files},
    };
    return words;
}

// The progress line: redrawn at most ten times a second, on the worker
// thread while it waits (the engine's texts hold still then).
class ProgressLine : public ScanWindow {
  public:
    ProgressLine(ScanEngine& engine, std::ostream& err, bool enabled)
        : engine_(engine), err_(err), enabled_(enabled) {}

    void OnScanProgress(ScanProgress, DetectedObject*) override {
        if (!enabled_) return;
        auto now = std::chrono::steady_clock::now();
        if (!engine_.ScanFinished() && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        ScanCounterValues c = engine_.Counters();
        std::string line = std::to_string(c.objectsScanned) + " scanned, " +
                           std::to_string(c.objectsNew) + " found  " +
                           Cp1252ToUtf8(engine_.CurrentItem());
        if (line.size() > 100) line = line.substr(0, 97) + "...";
        err_ << "\r\x1b[K" << line << std::flush;
        if (engine_.ScanFinished()) err_ << "\r\x1b[K" << std::flush;
    }
    void OnScanPhase(int) override {}

  private:
    ScanEngine& engine_;
    std::ostream& err_;
    bool enabled_;
    std::chrono::steady_clock::time_point last_{};
};

std::vector<std::pair<const char*, int32_t>> CounterList(const ScanCounterValues& c) {
    return {{"objectsScanned", c.objectsScanned},
            {"objectsIgnored", c.objectsIgnored},
            {"objectsRecognised", c.objectsRecognised},
            {"objectsNew", c.objectsNew},
            {"registryKeysRecognised", c.registryKeysRecognised},
            {"registryValuesRecognised", c.registryValuesRecognised},
            {"filesRecognised", c.filesRecognised},
            {"foldersRecognised", c.foldersRecognised},
            {"processesRecognised", c.processesRecognised}};
}

}  // namespace

int RunScanCommand(const HeadlessOptions& options, std::ostream& out, std::ostream& err) {
    if (options.words.size() != 2 || !ModeWords().count(options.words[1])) {
        err << "usage: tolvane --headless [--machine PREFIX] [--json] scan "
               "smart|custom|drives|registry|memory|files\n";
        return kExitUsage;
    }
    ScanMode mode = ModeWords().at(options.words[1]);
    std::unique_ptr<Machine> machine = OpenHeadlessMachine(options, err);
    if (!machine) return kExitFailure;
    if (!InstallShippedDatabases(*machine, err)) {
        err << "tolvane: no database.db in " << SettingsStore::ApplicationFolder() << "\n";
        return kExitFailure;
    }

    ThreatDatabase database;
    LoadReport report;
    if (!LoadDefinitions(machine->files(), SettingsStore::ApplicationFolder() + "database.db",
                         PlaceholderFolders::FromShell(machine->shell()), &database, &report)) {
        err << "tolvane: the definitions could not be loaded"
            << (report.parseError.empty() ? "" : ": " + report.parseError) << "\n";
        return kExitFailure;
    }

    char cwd[4096];
    std::string hostCwd = getcwd(cwd, sizeof cwd) ? cwd : "";
    IgnoreList ignoreList(machine->files(), IgnoreList::CurrentFolder(machine->files(), hostCwd));
    ignoreList.Load(database);
    IgnoreListFilter ignore(ignoreList);

    SettingsStore(machine->registry()).WriteInt(setting::kLastScanMode, static_cast<int>(mode));
    ScanEngine engine(*machine, database);
    ProgressLine progress(engine, err, isatty(STDERR_FILENO) == 1);
    engine.SetWindow(&progress);
    engine.SetIgnoreFilter(&ignore);

    gInterrupted.store(false);
    auto previous = std::signal(SIGINT, OnInterrupt);
    engine.Start();
    while (engine.WorkerRunning()) {
        if (gInterrupted.load()) engine.RequestStop();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    engine.Wait();
    std::signal(SIGINT, previous);

    const ScanResults& results = engine.Results();
    ScanCounterValues counters = engine.Counters();
    std::optional<std::string> logHost = machine->files().ToHostPath(engine.LogPath());
    auto utf8 = [](const std::string& text) { return Cp1252ToUtf8(text); };
    if (options.json) {
        nlohmann::json rows = nlohmann::json::array();
        for (const DetectedObject* object : results.listedObjects) {
            const ThreatDefinition* d = object->definition;
            rows.push_back({{"vendor", utf8(d ? d->name : "")},
                            {"type", ObjectTypeText(object->type)},
                            {"category", utf8(d ? d->category : "")},
                            {"object", utf8(object->objectText)},
                            {"danger", utf8(d ? d->danger : "")}});
        }
        nlohmann::json counterObject = nlohmann::json::object();
        for (const auto& [name, value] : CounterList(counters)) counterObject[name] = value;
        nlohmann::json document = {{"rows", rows},
                                   {"counters", counterObject},
                                   {"logPath", utf8(engine.LogPath())},
                                   {"logHostPath", logHost ? *logHost : ""},
                                   {"stopped", engine.StopRequested()}};
        out << document.dump(2) << "\n";
    } else {
        for (const DetectedObject* object : results.listedObjects) {
            const ThreatDefinition* d = object->definition;
            out << utf8(d ? d->name : "") << '\t' << ObjectTypeText(object->type) << '\t'
                << utf8(d ? d->category : "") << '\t' << utf8(object->objectText) << '\t'
                << utf8(d ? d->danger : "") << '\n';
        }
        for (const auto& [name, value] : CounterList(counters))
            out << name << ": " << value << '\n';
        out << "Log: " << utf8(engine.LogPath()) << '\n';
    }
    out.flush();
    return kExitOk;
}

}  // namespace tolvane
