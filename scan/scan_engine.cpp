#include "scan/scan_engine.h"

#include <array>
#include <cstdio>
#include <ctime>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "base/codepage.h"
#include "base/lines.h"
#include "base/text.h"
#include "definitions/pattern_match.h"
#include "definitions/placeholders.h"
#include "definitions/threat_database.h"
#include "machine/machine.h"
#include "scan/percent_decode.h"
#include "settings/settings_store.h"
#include "settings/state_folder.h"

namespace tolvane {
namespace {

// The machine's own answer to whether a file the content check read is one
// its platform installed (a Wine prefix: its runner's copy, byte for byte).
class MachinePlatformFiles : public PlatformFiles {
  public:
    explicit MachinePlatformFiles(const Machine& machine) : machine_(machine) {}
    bool IsPlatformOwn(const ContentFileView& file) override {
        if (file.sha256.size() != 32) return false;
        std::string hex;
        for (char byte : file.sha256) {
            hex += kHexDigits[static_cast<unsigned char>(byte) >> 4];
            hex += kHexDigits[static_cast<unsigned char>(byte) & 15];
        }
        std::string_view name = file.path.substr(file.path.rfind('\\') + 1);
        return machine_.IsPlatformFile(name, file.size, hex);
    }

  private:
    const Machine& machine_;
};

// Folders the Windows buffers could hold (260 characters with the zero).
constexpr size_t kFolderLimit = 259;

// Folders one walk holds open at once (one per level).
constexpr int kHeldFolderLevels = 64;

// Registry data read as text: up to its first zero byte.
std::string_view AsText(const std::string& data) {
    size_t end = data.find('\0');
    return std::string_view(data).substr(0, end == std::string::npos ? data.size() : end);
}

std::string Format(const char* format, int number, std::string_view text) {
    std::string out = std::to_string(number);
    std::string_view rest(format);
    // format is "%d<middle>%s<tail>"
    size_t d = rest.find("%d"), s = rest.find("%s");
    return std::string(rest.substr(0, d)) + out + std::string(rest.substr(d + 2, s - d - 2)) +
           std::string(text) + std::string(rest.substr(s + 2));
}

}  // namespace

const char* ScanModeLogText(int32_t mode) {
    switch (static_cast<ScanMode>(mode)) {
        case ScanMode::Smart:
            return " (Smart Scan Mode)\n";
        case ScanMode::Custom:
            return " (Custom Scan Mode)\n";
        case ScanMode::DrivesAndFolders:
        case ScanMode::Files:
            return " (Drives Scan Mode)\n";
        case ScanMode::Registry:
            return " (REgistry Scan Mode)\n";
        case ScanMode::Memory:
            return " (Process Scan Mode)\n";
    }
    return nullptr;
}

bool ValueDataContains(const std::string& data, std::string_view pattern, bool decodedTry) {
    if (pattern.empty()) return true;
    const std::string lowered = ToLowerCp1252(pattern);
    std::string text = ToLowerCp1252(AsText(data));
    if (text.find(lowered) != std::string::npos) return true;
    if (!decodedTry) return false;
    std::string decoded = ToLowerCp1252(PercentDecode(text));
    return decoded.find(lowered) != std::string::npos;
}

ScanEngine::ScanEngine(Machine& machine, ThreatDatabase& database)
    : machine_(machine),
      database_(database),
      settings_(std::make_unique<SettingsStore>(machine.registry())),
      log_(machine.files()),
      machinePlatform_(std::make_unique<MachinePlatformFiles>(machine)) {
    const ShellFolders& shell = machine.shell();
    for (const UserProfile& profile : machine.Profiles())
        profileFolders_.push_back(PlaceholderFolders::FromShell(machine.ProfileShell(profile)));
    const PlaceholderFolders& folders = profileFolders_[0];
    windowsFolder_ = folders[Placeholder::WinDir];
    systemFolder_ = folders[Placeholder::System];
    // The one folder the scan walks that no placeholder names.
    if (!shell.GetFolderPath(CSIDL_COOKIES, &cookiesFolder_) ||
        cookiesFolder_.size() > kFolderLimit)
        cookiesFolder_.clear();
    processes_.Initialise(&machine_, true);
}

ScanEngine::~ScanEngine() {
    RequestStop();
    Wait();
    processes_.Release();
}

// --- The worker ---

bool ScanEngine::Start() {
    if (workerRunning_.load()) return false;
    if (worker_.joinable()) worker_.join();
    workerRunning_.store(true);
    // Cleared here, not on the worker: a stop asked for before the new
    // thread runs must end this scan, not be forgotten by it.
    stopRequested_.store(false);
    worker_ = std::thread([this] {
        RunScanSteps();
        workerRunning_.store(false);
    });
    return true;
}

int ScanEngine::ScanThreadProc(ScanEngine* engine) {
    if (!engine) return 1;
    engine->RunScan();
    return 0;
}

void ScanEngine::Wait() {
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

std::tm ScanEngine::LocalStartTime() const {
    if (clock_) return clock_();
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

void ScanEngine::KeepStateOnHost(const std::string& hostFolder) {
    stateOnHost_ = true;
    hostStateFolder_ = hostFolder;
    settings_ = std::make_unique<SettingsStore>(SettingsStore::OnHost(
        machine_.registry(), hostFolder.empty() ? "" : hostFolder + "/" + kStateSettingsFileName));
}

void ScanEngine::RunScan() {
    stopRequested_.store(false);
    RunScanSteps();
}

void ScanEngine::RunScanSteps() {
    scanFinished_.store(false);
    results_.Reset();
    progressUnits_.store(0);
    currentItem_.clear();
    note_.clear();
    reportedFiles_.clear();
    contentCounts_.Reset();

    const bool logged =
        !stateOnHost_              ? log_.Open(SettingsStore::ApplicationFolder(), LocalStartTime())
        : hostStateFolder_.empty() ? false
                                   : log_.OpenOnHost(hostStateFolder_, LocalStartTime());
    if (!logged) note_ = kLogNotWrittenNote;
    log_.Write("Starting Scanning");
    int32_t mode = settings_->ReadInt(setting::kLastScanMode);
    if (const char* text = ScanModeLogText(mode)) {
        log_.Write(text);
        RunModePhases(mode);
    }
    log_.Write("Scan Finished\n");
    // The log is complete before the window hears of the end, so that it may
    // show or copy it at once.
    log_.Close();
    scanFinished_.store(true);
    Progress(ScanProgress::Step);
}

void ScanEngine::RunModePhases(int32_t mode) {
    // The modes that walk drives or look at running programs read content.
    const auto type = static_cast<ScanMode>(mode);
    const bool content =
        type == ScanMode::DrivesAndFolders || type == ScanMode::Files || type == ScanMode::Memory ||
        (type == ScanMode::Custom && (settings_->ReadInt(setting::kCustScanDrives) != 0 ||
                                      settings_->ReadInt(setting::kCustScanActive) != 0));
    if (content) StartContentPhase();
    switch (static_cast<ScanMode>(mode)) {
        case ScanMode::Smart:
            CheckHostsFile();
            ScanProcesses();
            progressUnits_.store(0);
            ScanRegistryKeys();
            ScanRegistryValues();
            Phase(scan_phase::kFixedFolders);
            WalkFolder(windowsFolder_, true);
            WalkFolder(systemFolder_, true);
            WalkFolder(cookiesFolder_, false);
            DefinitionFolders();
            DefinitionFiles();
            break;
        case ScanMode::Custom: {
            // "Cust_Scan_IEFAV" and "Cust_Scan_Hosts" start no phase.
            bool active = settings_->ReadInt(setting::kCustScanActive) != 0;
            bool registry = settings_->ReadInt(setting::kCustScanRegistry) != 0;
            bool deep = settings_->ReadInt(setting::kCustScanDeep) != 0;
            bool drives = settings_->ReadInt(setting::kCustScanDrives) != 0;
            if (active) ScanProcesses();
            if (registry) {
                progressUnits_.store(0);
                ScanRegistryKeys();
                ScanRegistryValues();
            }
            if (deep) DeepRegistryScan();
            if (drives) {
                Phase(scan_phase::kChosenFoldersAndDrives);
                WalkChosenFolders(kCustomScanFolderList, setting::kCustScanDrivesNumRead);
            }
            break;
        }
        case ScanMode::DrivesAndFolders:
            Phase(scan_phase::kFixedFolders);
            WalkChosenFolders(kDrivesAndFoldersList, setting::kScanDrivesNumRead);
            break;
        case ScanMode::Registry:
            progressUnits_.store(0);
            ScanRegistryKeys();
            ScanRegistryValues();
            break;
        case ScanMode::Memory:
            ScanProcesses();
            break;
        case ScanMode::Files:
            Phase(scan_phase::kChosenFoldersAndDrives);
            for (const std::string& root : machine_.files().LogicalDrives())
                WalkFolder(root, false);
            break;
    }
    if (content) EndContentPhase();
}

void ScanEngine::StartContentPhase() {
    content_ = std::make_unique<ContentPool>(database_,
                                             contentLimits_ ? *contentLimits_ : ReadContentLimits(),
                                             contentCounts_, stopRequested_);
    content_->SetPlatformFiles(platform_ ? platform_ : machinePlatform_.get());
    content_->SetStop(&contentStop_);
    activeCheckers_.clear();
    for (ContentFileChecker* checker : checkers_) {
        std::string line;
        if (checker->BeginScan(&line)) {
            content_->AddChecker(checker);
            activeCheckers_.push_back(checker);
        }
        if (!line.empty()) log_.Write(line);
    }
    if (!content_->Active()) content_.reset();
}

void ScanEngine::EndContentPhase() {
    ReportContentMatches();
    if (content_) log_.Write(contentCounts_.LogText());
    for (ContentFileChecker* checker : activeCheckers_) {
        std::string note;
        log_.Write(checker->EndScan(&note));
        if (!note.empty()) note_ += (note_.empty() ? "" : "  ") + note;
    }
    activeCheckers_.clear();
    content_.reset();
}

void ScanEngine::CheckEntryContent(const FindHandle& handle, FindDetail detail, std::string path) {
    // Folders nested deeper than the held levels are listed without their
    // folder held, and their files are not opened by path.
    if (detail != FindDetail::Types) {
        content_->CountSkip(ContentSkip::Unreadable);
        return;
    }
    UniqueFd fd;
    struct stat st {};
    if (!handle.OpenEntryContent(&fd, &st)) {
        // A mode read means the entry was there but no regular file.
        content_->CountSkip(st.st_mode != 0 && !S_ISREG(st.st_mode) ? ContentSkip::NotRegular
                                                                    : ContentSkip::Unreadable);
        return;
    }
    content_->Submit(std::move(fd), st, std::move(path), walkProfile_);
}

void ScanEngine::ReportContentMatches() {
    if (!content_) return;
    for (ContentPool::Match& match : content_->Collect()) {
        Count(results_.counters.filesRecognised);
        reportedFiles_.insert(ToLowerCp1252(match.path));
        Report(match.outcome.definition, ObjectType::File, std::move(match.path),
               std::move(match.tag), FoundAs::Object, std::move(match.outcome.finding));
    }
}

ThreatDefinition* ScanEngine::CheckProgramContent(const std::string& path,
                                                  std::shared_ptr<const ContentFinding>* finding) {
    File file;
    struct stat st {};
    if (!machine_.files().OpenFile(path, FileOpenMode::Read, &file) ||
        fstat(file.NativeHandle(), &st) != 0) {
        content_->CountSkip(ContentSkip::Unreadable);
        return nullptr;
    }
    ContentCheck::Outcome outcome = content_->CheckHere(file.NativeHandle(), st, path);
    *finding = std::move(outcome.finding);
    return outcome.definition;
}

void ScanEngine::WalkChosenFolders(std::string_view listPrefix, std::string_view countName) {
    int32_t count = settings_->ReadInt(countName);
    for (int32_t i = 1; i <= count; ++i) {
        std::string folder = settings_->ReadString(std::string(listPrefix) + std::to_string(i));
        WalkFolder(folder, false);
    }
}

void ScanEngine::Progress(ScanProgress kind, DetectedObject* object) {
    if (observer_) observer_->OnScanProgress(kind, object);
}

void ScanEngine::Phase(int phase) {
    if (observer_) observer_->OnScanPhase(phase);
}

// --- Reporting ---

void ScanEngine::AddResult(std::unique_ptr<DetectedObject> object) {
    int32_t number = results_.counters.objectsRecognised.fetch_add(1) + 1;
    std::string_view name = object->definition ? object->definition->name : std::string_view();
    log_.Write(Format("%d) %s\n", number, name));
    log_.Write("Name:\t\t" + object->objectText + ProfileSuffix(*object) + "\n");
    const char* typeText = ObjectTypeText(object->type);
    if (*typeText) log_.Write(std::string("Type:\t\t") + typeText + "\n");
    if (const ContentFinding* content = object->content.get())
        log_.Write("Content:\t" + ContentFindingText(*content) + "\n");

    DetectedObject* kept = object.get();
    results_.allObjects.push_back(std::move(object));
    if (ignore_ && ignore_->IsIgnored(*kept)) {
        Count(results_.counters.objectsIgnored);
        return;
    }
    results_.listedObjects.push_back(kept);
    Count(results_.counters.objectsNew);
    Progress(ScanProgress::NewObject, kept);
}

void ScanEngine::Report(ThreatDefinition* definition, ObjectType type, std::string text,
                        std::string profile, FoundAs foundAs,
                        std::shared_ptr<const ContentFinding> content) {
    // The files handed to the content threads came before this row.
    ReportContentMatches();
    auto object = std::make_unique<DetectedObject>();
    object->definition = definition;
    object->type = type;
    object->objectText = std::move(text);
    object->foundAs = foundAs;
    object->profile = std::move(profile);
    object->content = std::move(content);
    AddResult(std::move(object));
}

void ScanEngine::Settle(ThreatDefinition* definition, int* entryFound, bool found,
                        std::atomic<int32_t>& counter, ObjectType type, std::string_view text,
                        const std::string& profile) {
    *entryFound = found ? 1 : 0;
    if (!found) return;
    definition->found = true;
    Count(counter);
    Report(definition, type, std::string(text), profile);
}

// --- Hosts files ---

void ScanEngine::CheckHostsFile() {
    Phase(scan_phase::kRegistryAndDefinitionFolders);
    FileSystem& files = machine_.files();
    hostsFiles_ = machine_.HostsFiles();

    // Every line of every hosts file, read once for all entries.
    std::vector<std::string> lines;
    for (const std::string& path : hostsFiles_) {
        std::string content;
        if (!files.ReadWholeFileConfined(path, &content)) continue;
        ForEachLine(content, LineEnd::Kept,
                    [&](std::string_view line) { lines.emplace_back(line); });
    }

    for (auto& definition : database_.definitions()) {
        if (Stopped()) return;
        for (HostEntry& entry : definition->hostEntries) {
            if (Stopped()) return;
            bool found = false;
            for (const std::string& line : lines) {
                size_t at = line.find(entry.host);
                // The first occurrence counts; a line that begins with the
                // host is a host name alone, not a mapping of it.
                if (at != std::string::npos && at > 0) {
                    found = true;
                    break;
                }
            }
            // A hosts line is no registry key, file, folder or process: it
            // counts among the objects recognised only.
            entry.found = found ? 1 : 0;
            if (found) {
                definition->found = true;
                Report(definition.get(), ObjectType::HostFileItem, std::string(entry.host));
            }
            Progress(ScanProgress::Step);
        }
    }
}

// --- Processes ---

void ScanEngine::ScanProcesses() {
    log_.Write("Scanning running processes.\n");
    if (!machine_.RunsPrograms()) {
        note_ += std::string(note_.empty() ? "" : "  ") + kNoProgramsRunNote;
        log_.Write(std::string(kNoProgramsRunNote) + "\n");
        SetCurrentItem(kNoProgramsRunNote);
        Progress(ScanProgress::Step);
    }
    std::unique_ptr<ProcessList> list = processes_.CreateProcessList();
    if (!list) return;
    Phase(scan_phase::kProcesses);
    FileSystem& files = machine_.files();
    // A program's file is read once however many programs load it; each
    // of them is listed by what that read found.
    struct Read {
        ThreatDefinition* definition = nullptr;
        std::shared_ptr<const ContentFinding> finding;
    };
    std::unordered_map<std::string, Read> read;
    std::shared_ptr<const ContentFinding> finding;
    auto match = [&](const std::string& path) {
        finding.reset();
        ThreatDefinition* definition = database_.MatchFile(path, files);
        if (!definition) definition = database_.MatchFileExpression(path);
        if (definition || !content_) return definition;
        auto [known, added] = read.try_emplace(ToLowerCp1252(path));
        if (added) known->second.definition = CheckProgramContent(path, &known->second.finding);
        finding = known->second.finding;
        return known->second.definition;
    };
    int number = 1;
    ProcessRecord process;
    while (!Stopped() && processes_.NextProcess(list.get(), &process)) {
        SetCurrentItem(process.exeName);
        Progress(ScanProgress::Step);
        Count(results_.counters.objectsScanned);
        if (ThreatDefinition* definition = match(process.exeName)) {
            Report(definition, ObjectType::File, process.exeName, "", FoundAs::Process, finding);
            Count(results_.counters.processesRecognised);
        }
        std::unique_ptr<ModuleList> modules = processes_.CreateModuleList(process.processId);
        bool anyModule = false;
        ModuleRecord module;
        while (modules && !Stopped() && processes_.NextModule(modules.get(), &module)) {
            if (!anyModule) log_.Write(Format("%d) : %s\n", number, module.path));
            anyModule = true;
            SetCurrentItem(module.path);
            Progress(ScanProgress::Step);
            Count(results_.counters.objectsScanned);
            if (ThreatDefinition* definition = match(module.path)) {
                Report(definition, ObjectType::File, module.path, "", FoundAs::Module, finding);
                Count(results_.counters.processesRecognised);
            }
        }
        if (!anyModule) log_.Write(Format("%d) : %s\n", number, process.exeName));
        if (modules) processes_.FreeModuleList(std::move(modules));
        ++number;
    }
    processes_.FreeProcessList(std::move(list));
}

// --- Registry keys and values ---

bool ScanEngine::KeyPresent(RootKey root, std::string_view path) {
    const Registry& registry = machine_.registry();
    Count(results_.counters.objectsScanned);
    RegKey key;
    if (registry.OpenKey(Registry::Root(root), path, KEY_READ, &key) != ERROR_SUCCESS) return false;
    registry.CloseKey(key);
    return true;
}

// The roots in their order, the user's own keys tried in every profile: a
// key found in one or more profiles is reported for each of them.
void ScanEngine::SettleKey(ThreatDefinition* definition, RegistryKeyEntry& entry) {
    std::atomic<int32_t>& counter = results_.counters.registryKeysRecognised;
    if (KeyPresent(RootKey::ClassesRoot, entry.path))
        return Settle(definition, &entry.found, true, counter, ObjectType::RegistryKey, entry.path);
    bool inProfile = false;
    for (const UserProfile& profile : machine_.Profiles()) {
        if (!KeyPresent(profile.Root(), profile.KeyPath(entry.path))) continue;
        inProfile = true;
        Settle(definition, &entry.found, true, counter, ObjectType::RegistryKey,
               profile.KeyPath(entry.path), profile.name);
    }
    if (inProfile) return;
    for (RootKey root : {RootKey::LocalMachine, RootKey::Users})
        if (KeyPresent(root, entry.path))
            return Settle(definition, &entry.found, true, counter, ObjectType::RegistryKey,
                          entry.path);
    Settle(definition, &entry.found, false, counter, ObjectType::RegistryKey, entry.path);
}

void ScanEngine::ScanRegistryKeys() {
    Phase(scan_phase::kRegistryAndDefinitionFolders);
    size_t definitionsRead = 0;
    for (auto& definition : database_.definitions()) {
        if (Stopped()) return;
        // Most definitions name no key (those known by content or files).
        if (definition->registryKeys.empty()) continue;
        // The phase yields the processor now and then; a pause before every
        // definition would make the wait grow with the database.
        if (keyPause_.count() > 0 && definitionsRead++ % definitionsPerKeyPause_ == 0)
            std::this_thread::sleep_for(keyPause_);
        for (RegistryKeyEntry& entry : definition->registryKeys) {
            if (Stopped()) return;
            SetCurrentItem(entry.path);
            AddUnits(4);
            SettleKey(definition.get(), entry);
            Progress(ScanProgress::Step);
        }
    }
}

// Conditions compare the path as the entry names it, whichever profile holds it.
static bool MeetsConditions(const RegistryValueEntry& entry, std::string_view name, uint32_t type,
                            const std::string& data) {
    if (!entry.conditions) return true;
    std::optional<uint32_t> dword;
    if (type == REG_DWORD && data.size() == 4)
        dword = static_cast<uint32_t>(static_cast<unsigned char>(data[0])) |
                static_cast<uint32_t>(static_cast<unsigned char>(data[1])) << 8 |
                static_cast<uint32_t>(static_cast<unsigned char>(data[2])) << 16 |
                static_cast<uint32_t>(static_cast<unsigned char>(data[3])) << 24;
    return entry.conditions->Accepts(RegistryConditionPath(entry.keyPath, name, true), AsText(data),
                                     dword);
}

// The data text a value's row carries after the separator: removal deletes
// the value only while its data still holds it.
static std::string RowDataPattern(const RegistryValueEntry& entry) {
    if (!entry.dataPattern.empty() || !entry.conditions) return std::string(entry.dataPattern);
    std::string text = entry.conditions->RequiredDataText();
    return text.find(kValueDataSeparator) == std::string::npos ? text : std::string();
}

bool ScanEngine::ValueMatches(RootKey root, std::string_view keyPath,
                              const RegistryValueEntry& entry, const std::string& loweredPattern,
                              bool decodedTry) {
    const std::string_view valueName = entry.valueName;
    const Registry& registry = machine_.registry();
    Count(results_.counters.objectsScanned);
    RegKey key;
    if (registry.OpenKey(Registry::Root(root), keyPath, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    uint32_t type = 0;
    std::string data;
    long status = registry.QueryValue(key, valueName, &type, &data);
    registry.CloseKey(key);
    // Data that does not fit the 1,024-byte buffer fails the query.
    if (status != ERROR_SUCCESS || data.size() > kValueDataLimit) return false;
    return ValueDataContains(data, loweredPattern, decodedTry) &&
           MeetsConditions(entry, valueName, type, data);
}

void ScanEngine::MatchValuesByName(ThreatDefinition* definition, RegistryValueEntry& entry,
                                   const std::string& loweredPattern) {
    const Registry& registry = machine_.registry();
    entry.found = 0;
    // The user's own keys of every profile (their data also tried
    // percent-decoded), then the machine's.
    struct Place {
        RootKey root;
        std::string keyPrefix;
        bool decodedTry;
        std::string profile;
    };
    std::vector<Place> places;
    for (const UserProfile& profile : machine_.Profiles())
        places.push_back({profile.Root(), profile.KeyPath(""), true, profile.name});
    places.push_back({RootKey::LocalMachine, "", false, ""});
    for (const Place& place : places) {
        Count(results_.counters.objectsScanned);
        RegKey key;
        if (registry.OpenKey(Registry::Root(place.root),
                             place.keyPrefix + std::string(entry.keyPath), KEY_QUERY_VALUE,
                             &key) != ERROR_SUCCESS)
            continue;
        std::string name, data;
        uint32_t type = 0;
        for (uint32_t index = 0;
             !Stopped() && registry.EnumValue(key, index, &name, &type, &data) == ERROR_SUCCESS;
             ++index) {
            // A name holding '\' or the data separator would read back as
            // another value (or key) where the row is removed or ignored.
            if (name.find('\\') != std::string::npos ||
                name.find(kValueDataSeparator) != std::string::npos)
                continue;
            if (!ValueNameMatches(entry, name) || data.size() > kValueDataLimit ||
                !ValueDataContains(data, loweredPattern, place.decodedTry) ||
                !MeetsConditions(entry, name, type, data))
                continue;
            std::string text = place.keyPrefix;
            text.append(entry.keyPath).append("\\").append(name);
            if (const std::string data = RowDataPattern(entry); !data.empty())
                text += kValueDataSeparator + data;
            Settle(definition, &entry.found, true, results_.counters.registryValuesRecognised,
                   ObjectType::RegistryValue, text, place.profile);
        }
        registry.CloseKey(key);
    }
}

void ScanEngine::ScanRegistryValues() {
    Phase(scan_phase::kRegistryAndDefinitionFolders);
    for (auto& definition : database_.definitions()) {
        if (Stopped()) return;
        for (RegistryValueEntry& entry : definition->registryValues) {
            std::string pattern = ToLowerCp1252(entry.dataPattern);
            if (entry.nameIsPattern) {
                MatchValuesByName(definition.get(), entry, pattern);
                continue;
            }
            const std::string data = RowDataPattern(entry);
            const std::string suffix = data.empty() ? "" : kValueDataSeparator + data;
            std::atomic<int32_t>& counter = results_.counters.registryValuesRecognised;
            // The user's own keys of every profile, else the machine's.
            bool inProfile = false;
            for (const UserProfile& profile : machine_.Profiles()) {
                if (!ValueMatches(profile.Root(), profile.KeyPath(entry.keyPath), entry, pattern,
                                  true))
                    continue;
                inProfile = true;
                Settle(definition.get(), &entry.found, true, counter, ObjectType::RegistryValue,
                       profile.KeyPath(entry.fullName) + suffix, profile.name);
            }
            if (inProfile) continue;
            bool found = ValueMatches(RootKey::LocalMachine, entry.keyPath, entry, pattern, false);
            Settle(definition.get(), &entry.found, found, counter, ObjectType::RegistryValue,
                   found ? std::string(entry.fullName) + suffix : std::string(entry.fullName));
        }
    }
}

// --- Deep registry scan ---

// The first value entry (definitions in order, entries in order) for each key
// path, built once per deep scan.
struct ScanEngine::DeepIndex {
    struct Entry {
        ThreatDefinition* definition;
        RegistryValueEntry* entry;
    };
    std::unordered_map<std::string, Entry> byKeyPath;
};

void ScanEngine::CheckDeepKey(const std::string& topKey, const std::string& path) {
    const Registry& registry = machine_.registry();
    RegKey key;
    if (registry.OpenKey(Registry::Root(RootKey::ClassesRoot), topKey + path, KEY_QUERY_VALUE,
                         &key) != ERROR_SUCCESS)
        return;
    RegKeyInfo info;
    if (registry.QueryInfoKey(key, &info) != ERROR_SUCCESS) return;
    Count(results_.counters.objectsScanned);
    AddUnits(1);
    if (!deepIndex_) return;
    auto it = deepIndex_->byKeyPath.find(path);
    if (it == deepIndex_->byKeyPath.end()) return;
    const DeepIndex::Entry& wanted = it->second;
    std::string name, data;
    uint32_t type = 0;
    for (uint32_t index = 0; registry.EnumValue(key, index, &name, &type, &data) == ERROR_SUCCESS;
         ++index) {
        Count(results_.counters.objectsScanned);
        AddUnits(1);
        if (name == wanted.entry->valueName) {
            Settle(wanted.definition, &wanted.entry->found, true,
                   results_.counters.registryValuesRecognised, ObjectType::RegistryValue,
                   wanted.entry->fullName);
        }
    }
}

void ScanEngine::WalkDeepKey(const std::string& topKey, const std::string& path, int depth) {
    const Registry& registry = machine_.registry();
    RegKey key;
    if (registry.OpenKey(Registry::Root(RootKey::ClassesRoot), topKey + path,
                         KEY_ENUMERATE_SUB_KEYS, &key) != ERROR_SUCCESS)
        return;
    std::string name;
    for (uint32_t index = 0; !Stopped(); ++index) {
        if (registry.EnumKey(key, index, &name) != ERROR_SUCCESS) break;
        if (name.size() > 1024) continue;
        std::string child = path + "\\" + name;
        CheckDeepKey(topKey, child);
        SetCurrentItem(child);
        Progress(ScanProgress::DeepKey);
        if (depth < 2) WalkDeepKey(topKey, child, depth + 1);
    }
}

void ScanEngine::DeepRegistryScan() {
    Phase(scan_phase::kDeepRegistry);
    deepIndex_ = std::make_unique<DeepIndex>();
    for (auto& definition : database_.definitions())
        for (RegistryValueEntry& entry : definition->registryValues) {
            // The deep walk compares names exactly; a pattern would only take
            // the place of an exact entry of the same key, and it reads no
            // data that conditions could be tested on.
            if (entry.nameIsPattern || entry.conditions) continue;
            deepIndex_->byKeyPath.try_emplace(std::string(entry.keyPath),
                                              DeepIndex::Entry{definition.get(), &entry});
        }
    for (const char* top : {"CLSID", "TypeLib", "Interface"}) {
        if (Stopped()) continue;
        WalkDeepKey(top, "", 1);
    }
    deepIndex_.reset();
}

// --- Folder walks ---

bool ScanEngine::IsSkippedHostFolder(std::string_view hostPath) {
    while (hostPath.size() > 1 && hostPath.back() == '/') hostPath.remove_suffix(1);
    for (std::string_view skipped : {"/proc", "/sys", "/dev"}) {
        if (hostPath.size() >= skipped.size() && hostPath.substr(0, skipped.size()) == skipped &&
            (hostPath.size() == skipped.size() || hostPath[skipped.size()] == '/'))
            return true;
    }
    return false;
}

void ScanEngine::DefinitionFolders() {
    Phase(scan_phase::kRegistryAndDefinitionFolders);
    for (auto& definition : database_.definitions()) {
        if (Stopped()) return;
        for (const DirectoryEntry& entry : definition->directories) {
            SetCurrentItem(entry.path);
            const std::string entryPath(entry.path);
            // A folder of the user's own is walked in every profile; what a
            // walk meets there is matched as the current user's (the
            // definitions are resolved for that user).
            for (size_t index = 0; index < profileFolders_.size(); ++index) {
                std::optional<std::string> folder = ProfilePath(index, entryPath, &walkProfile_);
                if (!folder) continue;
                walkFrom_ = index == 0 ? nullptr : &profileFolders_[index];
                WalkFolder(*folder, false);
            }
            walkFrom_ = nullptr;
            walkProfile_.clear();
        }
    }
}

std::string ScanEngine::AsCurrentUsers(const std::string& path) const {
    if (!walkFrom_) return path;
    return MoveToUser(path, *walkFrom_, profileFolders_[0]).value_or(path);
}

// A file entry names one exact file when its path is a full one without
// wildcards; a bare name or a pattern is left to the walks.
static bool NamesExactFile(std::string_view path) {
    bool full = path.size() > 3 &&
                ((path[1] == ':' && path[2] == '\\') || (path[0] == '\\' && path[1] == '\\'));
    return full && path.find_first_of("*?") == std::string_view::npos;
}

// Where a definition's path (resolved for the current user) lies for the
// profile at index, and the profile's name when it lies in a user folder:
// a path in no user folder is the machine's and only the current user
// (index 0) looks it up.
std::optional<std::string> ScanEngine::ProfilePath(size_t index, const std::string& path,
                                                   std::string* profileName) const {
    const PlaceholderFolders& current = profileFolders_[0];
    std::optional<std::string> moved = MoveToUser(path, current, profileFolders_[index]);
    *profileName = moved ? machine_.Profiles()[index].name : "";
    if (index == 0) return path;
    return moved;
}

// The file is looked at as a walk of its folder meets it: listed in its
// folder (looked at relative to the folder opened) rather than resolved as
// a path, so that a link there is the link a Files scan lists, its row the
// same whichever scan found it. A link to a folder is a folder; nothing is
// opened.
void ScanEngine::LookUpFile(const FileEntry& entry, const std::string& path,
                            const std::string& profile) {
    FileSystem& files = machine_.files();
    if (reportedFiles_.count(ToLowerCp1252(path))) return;
    SetCurrentItem(path);
    Count(results_.counters.objectsScanned);
    Progress(ScanProgress::Step);
    FindHandle handle;
    FindData met;
    if (!files.FindFirstFile(path, &handle, &met, FindDetail::Full)) return;
    // Names that differ only in case are all listed: the one spelled as the
    // path is taken, as the path itself would resolve.
    const std::string_view name = std::string_view(path).substr(path.find_last_of("\\/") + 1);
    for (FindData other; met.name != name && handle.Next(&other);)
        if (other.name == name) met = std::move(other);
    if (met.attributes & FILE_ATTRIBUTE_DIRECTORY) return;
    // Matched by the entry's own path (the index holds the current user's
    // folders) with the size the listing gave. Another definition's entry
    // may claim the same file (the later wins, as in a walk); it is
    // reported once.
    ThreatDefinition* owner = database_.MatchFile(entry.path, [&] { return met.size; });
    if (!owner) return;
    reportedFiles_.insert(ToLowerCp1252(path));
    Count(results_.counters.filesRecognised);
    Report(owner, ObjectType::File, path, profile);
}

void ScanEngine::DefinitionFiles() {
    for (auto& definition : database_.definitions()) {
        if (Stopped()) return;
        for (const FileEntry& entry : definition->files) {
            if (!NamesExactFile(entry.path)) continue;
            const std::string entryPath(entry.path);
            for (size_t index = 0; index < profileFolders_.size(); ++index) {
                std::string profile;
                if (auto path = ProfilePath(index, entryPath, &profile))
                    LookUpFile(entry, *path, profile);
            }
        }
    }
}

void ScanEngine::WalkFolder(std::string_view folder, bool thisFolderOnly) {
    Walk(std::string(folder), thisFolderOnly, HostPlace::Unknown);
}

void ScanEngine::Walk(std::string folder, bool thisFolderOnly, HostPlace place,
                      const FindHandle* parent, const FindData* met, int depth) {
    FileSystem& files = machine_.files();
    ThreatDefinition* owner =
        database_.MatchFolder(AsCurrentUsers(folder), [&] { return files.PathFileExists(folder); });
    if (owner) {
        Count(results_.counters.foldersRecognised);
        Report(owner, ObjectType::Folder, folder, walkProfile_);
    }
    while (!folder.empty() && folder.back() == '\\') folder.pop_back();
    // Only a full path names a folder; an empty or relative one lists nothing.
    if (folder.size() < 2 || !(folder[1] == ':' || (folder[0] == '\\' && folder[1] == '\\')))
        return;
    // Where the walk starts, the host path is asked for once. Below it the
    // host path only grows by the names met (links are not entered), so only
    // the entries of the host's root can lead into a skipped file system.
    if (place == HostPlace::Unknown) {
        std::optional<std::string> host = files.ToHostPath(folder + "\\");
        if (host && IsSkippedHostFolder(*host)) return;
        place = host && *host == "/" ? HostPlace::HostRoot : HostPlace::Below;
    }

    // The names and types are all a walk needs but for the sizes some file
    // entries ask, which are read only then. Such a listing holds its folder
    // open while the walk is below it: deeper than kHeldFolderLevels the
    // folders are listed whole and held by none.
    const FindDetail detail = depth < kHeldFolderLevels ? FindDetail::Types : FindDetail::Full;
    FindHandle handle;
    FindData entry;
    bool listed = parent && met
                      ? files.FindFirstFileIn(*parent, *met, "*.*", &handle, &entry, detail)
                      : files.FindFirstFile(folder + "\\*.*", &handle, &entry, detail);
    if (!listed) return;
    do {
        if (Stopped()) break;
        Count(results_.counters.objectsScanned);
        Progress(ScanProgress::Step);
        if (entry.name == "." || entry.name == "..") continue;
        std::string full = folder + "\\" + entry.name;
        if (!(entry.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            SetCurrentItem(full);
            ThreatDefinition* definition = owner;
            if (!definition) {
                definition = database_.MatchFile(AsCurrentUsers(full), [&] {
                    uint64_t size = entry.size;
                    // One that cannot be read any more counts as size 0.
                    if (detail == FindDetail::Types && !handle.EntrySize(&size)) size = 0;
                    return size;
                });
            }
            if (!definition) definition = database_.MatchFileExpression(full);
            if (definition) {
                Count(results_.counters.filesRecognised);
                reportedFiles_.insert(ToLowerCp1252(full));
                Report(definition, ObjectType::File, std::move(full), walkProfile_);
            } else if (content_) {
                CheckEntryContent(handle, detail, std::move(full));
            }
        } else if (!thisFolderOnly) {
            // A linked folder is not entered: links loop and lead out of the
            // drive into folders walked elsewhere.
            if (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
            if (place == HostPlace::HostRoot) {
                std::string host(1, '/');
                host += WindowsNameToHost(entry.name);
                if (IsSkippedHostFolder(host)) continue;
            }
            SetCurrentItem(full);
            Walk(std::move(full), false, HostPlace::Below, &handle, &entry, depth + 1);
        }
    } while (handle.Next(&entry));
    if (depth == 0) ReportContentMatches();
}

}  // namespace tolvane
