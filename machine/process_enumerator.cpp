#include "machine/process_enumerator.h"

#include <algorithm>
#include <new>

#include "base/codepage.h"
#include "machine/machine.h"
#include "machine/process_table.h"

namespace tolvane {
namespace {

std::string Cut(std::string_view text) {
    return std::string(text.substr(0, std::min(text.size(), kRecordTextLimit)));
}

// The name a process is listed under: its executable's path, "-" when the
// table cannot tell it.
std::string ProcessName(const ProcessSnapshot& process) {
    if (!process.exePath.empty()) return Cut(process.exePath);
    if (!process.modules.empty() && !process.modules.front().empty())
        return Cut(process.modules.front());
    return "-";
}

// Copies the record at index (or the cursor) and advances the cursor.
template <typename Record>
bool NextRecord(const std::vector<Record>& records, uint32_t* cursor, Record* record,
                uint32_t index, ProcessError* error) {
    uint32_t at = index == kCursorIndex ? *cursor : index;
    if (at > records.size()) {
        *error = ProcessError::IndexOutOfRange;
        return false;
    }
    if (at == records.size()) {
        *error = ProcessError::EndOfList;
        return false;
    }
    *record = records[at];
    ++*cursor;
    *error = ProcessError::Success;
    return true;
}

}  // namespace

ProcessEnumerator::~ProcessEnumerator() {
    Release();
}

bool ProcessEnumerator::Initialise(Machine* machine, bool /*preferPsapi*/) {
    machine_ = machine;
    lastError_ = machine ? ProcessError::Success : ProcessError::NoInterface;
    return machine != nullptr;
}

void ProcessEnumerator::Release() {
    machine_ = nullptr;
    lastSnapshot_.reset();
}

bool ProcessEnumerator::ReadTable(std::vector<ProcessSnapshot>* processes) {
    if (!machine_->processes().List(processes)) {
        processes->clear();
        lastError_ = ProcessError::EnumerationFailed;
        return false;
    }
    if (processes->size() > kMaxEnumerated) processes->resize(kMaxEnumerated);
    return true;
}

std::unique_ptr<ProcessList> ProcessEnumerator::CreateProcessList() {
    try {
        auto list = std::make_unique<ProcessList>();
        if (!machine_) return list;
        auto snapshot = std::make_shared<std::vector<ProcessSnapshot>>();
        if (!ReadTable(snapshot.get())) return list;
        list->records.reserve(snapshot->size());
        for (const ProcessSnapshot& process : *snapshot)
            list->records.push_back(ProcessRecord{process.pid, ProcessName(process)});
        list->snapshot = snapshot;
        lastSnapshot_ = snapshot;
        lastError_ = ProcessError::Success;
        return list;
    } catch (const std::bad_alloc&) {
        lastError_ = ProcessError::OutOfMemory;
        return nullptr;
    }
}

std::unique_ptr<ModuleList> ProcessEnumerator::CreateModuleList(uint32_t processId) {
    try {
        auto list = std::make_unique<ModuleList>();
        list->processId = processId;
        if (!machine_) return list;
        std::shared_ptr<const std::vector<ProcessSnapshot>> snapshot = lastSnapshot_.lock();
        const ProcessSnapshot* process = nullptr;
        if (snapshot)
            for (const ProcessSnapshot& candidate : *snapshot)
                if (candidate.pid == processId) process = &candidate;
        std::vector<ProcessSnapshot> fresh;
        if (!process) {
            if (!ReadTable(&fresh)) return list;
            for (const ProcessSnapshot& candidate : fresh)
                if (candidate.pid == processId) process = &candidate;
        }
        if (!process) {
            // The process cannot be opened: it has ended.
            lastError_ = ProcessError::EnumerationFailed;
            return list;
        }
        size_t count = std::min(process->modules.size(), kMaxEnumerated);
        list->records.reserve(count);
        for (size_t i = 0; i < count; ++i)
            list->records.push_back(ModuleRecord{0, 0, Cut(process->modules[i])});
        lastError_ = ProcessError::Success;
        return list;
    } catch (const std::bad_alloc&) {
        lastError_ = ProcessError::OutOfMemory;
        return nullptr;
    }
}

bool ProcessEnumerator::NextProcess(ProcessList* list, ProcessRecord* record, uint32_t index) {
    return NextRecord(list->records, &list->cursor, record, index, &lastError_);
}

bool ProcessEnumerator::NextModule(ModuleList* list, ModuleRecord* record, uint32_t index) {
    return NextRecord(list->records, &list->cursor, record, index, &lastError_);
}

// The lower-cased part of path after its last separator.
static std::string LowerLastPart(std::string_view path, const char* separators) {
    size_t cut = path.find_last_of(separators);
    std::string name(cut == std::string_view::npos ? path : path.substr(cut + 1));
    for (char& c : name) c = LowerCp1252(c);
    return name;
}

std::string ProcessEnumerator::ExecutableKey(std::string_view path) {
    return LowerLastPart(path, "\\/");
}

std::string ProcessEnumerator::KillTargetKey(std::string_view path) {
    return LowerLastPart(path, "\\");
}

bool ProcessEnumerator::KillProcessByName(std::string_view path) {
    if (!machine_) return false;
    std::string wanted = KillTargetKey(path);
    size_t seen = 0;
    lastKillStillRunning_ = 0;
    int found = EndProcesses(
        machine_->processes(),
        [&](const ProcessSnapshot& process) {
            // As listed: no more than kMaxEnumerated processes are seen.
            if (++seen > kMaxEnumerated) return false;
            std::string name = ProcessName(process);
            // "-" is no path: a process without a readable executable never
            // matches, whatever the name asked for.
            return name != "-" && ExecutableKey(name) == wanted;
        },
        kEndedProgramsWait, &lastKillStillRunning_);
    if (found < 0) {
        lastError_ = ProcessError::EnumerationFailed;
        return false;
    }
    lastError_ = ProcessError::Success;
    return found > 0;
}

bool ProcessEnumerator::TerminateProcessById(uint32_t processId) {
    if (!machine_) return false;
    return machine_->processes().Terminate(processId);
}

}  // namespace tolvane
