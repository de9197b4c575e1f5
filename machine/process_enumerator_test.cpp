#include "machine/process_enumerator.h"

#include <gtest/gtest.h>

#include "machine/machine.h"
#include "machine/process_table.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

using testing::TempPrefix;

ProcessSnapshot Process(uint32_t pid, std::string exe, std::vector<std::string> modules = {}) {
    ProcessSnapshot p;
    p.pid = pid;
    p.exePath = std::move(exe);
    p.modules = std::move(modules);
    return p;
}

// A table that counts its listings and can be made to fail.
class CountingTable : public ProcessTable {
  public:
    explicit CountingTable(std::vector<ProcessSnapshot> processes)
        : processes_(std::move(processes)) {}
    bool List(std::vector<ProcessSnapshot>* processes) override {
        ++listings;
        if (fail) return false;
        *processes = processes_;
        return true;
    }
    bool Terminate(uint32_t pid) override {
        terminated.push_back(pid);
        return pid != refusing;
    }
    int listings = 0;
    bool fail = false;
    uint32_t refusing = 0;
    std::vector<uint32_t> terminated;

  private:
    std::vector<ProcessSnapshot> processes_;
};

class ProcessEnumeratorTest : public ::testing::Test {
  protected:
    CountingTable& UseTable(std::vector<ProcessSnapshot> processes) {
        auto table = std::make_unique<CountingTable>(std::move(processes));
        CountingTable& ref = *table;
        machine->SetProcessTable(std::move(table));
        return ref;
    }
    TempPrefix prefix;
    std::unique_ptr<Machine> machine = prefix.Open();
    ProcessEnumerator enumerator;
};

TEST_F(ProcessEnumeratorTest, BindingAndUnboundOperations) {
    EXPECT_EQ(enumerator.LastError(), ProcessError::Success);
    EXPECT_FALSE(enumerator.UsesPsapi());
    // Nothing bound: empty lists, error left as it was, no kill.
    auto list = enumerator.CreateProcessList();
    ASSERT_NE(list, nullptr);
    EXPECT_TRUE(list->records.empty());
    EXPECT_FALSE(enumerator.KillProcessByName("C:\\a.exe"));
    EXPECT_FALSE(enumerator.Initialise(nullptr, true));
    EXPECT_EQ(enumerator.LastError(), ProcessError::NoInterface);
    EXPECT_TRUE(enumerator.Initialise(machine.get(), true));
    EXPECT_EQ(enumerator.LastError(), ProcessError::Success);
    EXPECT_TRUE(enumerator.UsesPsapi());
    EXPECT_FALSE(enumerator.UsesToolhelp());
}

TEST_F(ProcessEnumeratorTest, CursorAndIndexRules) {
    UseTable({Process(1, "C:\\a.exe"), Process(2, "C:\\b.exe"), Process(3, "")});
    ASSERT_TRUE(enumerator.Initialise(machine.get()));
    auto list = enumerator.CreateProcessList();
    ASSERT_NE(list, nullptr);
    ProcessRecord record;
    std::vector<std::string> names;
    while (enumerator.NextProcess(list.get(), &record)) names.push_back(record.exeName);
    // A process whose executable cannot be read is named "-".
    EXPECT_EQ(names, (std::vector<std::string>{"C:\\a.exe", "C:\\b.exe", "-"}));
    EXPECT_EQ(enumerator.LastError(), ProcessError::EndOfList);
    EXPECT_FALSE(enumerator.NextProcess(list.get(), &record, 7));
    EXPECT_EQ(enumerator.LastError(), ProcessError::IndexOutOfRange);
    EXPECT_FALSE(enumerator.NextProcess(list.get(), &record, 3));
    EXPECT_EQ(enumerator.LastError(), ProcessError::EndOfList);

    // An explicit index copies that record and still moves the cursor by one.
    auto again = enumerator.CreateProcessList();
    ASSERT_TRUE(enumerator.NextProcess(again.get(), &record, 2));
    EXPECT_EQ(record.processId, 3u);
    EXPECT_EQ(again->cursor, 1u);
    ASSERT_TRUE(enumerator.NextProcess(again.get(), &record));
    EXPECT_EQ(record.processId, 2u);
    EXPECT_EQ(enumerator.LastError(), ProcessError::Success);
    enumerator.FreeProcessList(std::move(again));
}

TEST_F(ProcessEnumeratorTest, ModuleListsComeFromTheProcessListsMoment) {
    CountingTable& table = UseTable(
        {Process(7, "C:\\app.exe", {"C:\\app.exe", "C:\\windows\\system32\\kernel32.dll"})});
    ASSERT_TRUE(enumerator.Initialise(machine.get()));
    auto list = enumerator.CreateProcessList();
    auto modules = enumerator.CreateModuleList(7);
    ASSERT_NE(modules, nullptr);
    EXPECT_EQ(table.listings, 1);  // served from the process list's snapshot
    EXPECT_EQ(modules->processId, 7u);
    ModuleRecord module;
    ASSERT_TRUE(enumerator.NextModule(modules.get(), &module));
    EXPECT_EQ(module.path, "C:\\app.exe");
    ASSERT_TRUE(enumerator.NextModule(modules.get(), &module));
    EXPECT_FALSE(enumerator.NextModule(modules.get(), &module));
    EXPECT_EQ(enumerator.LastError(), ProcessError::EndOfList);

    // Without a live process list the table is asked again; a process that
    // is gone cannot be opened.
    enumerator.FreeProcessList(std::move(list));
    EXPECT_EQ(enumerator.CreateModuleList(7)->records.size(), 2u);
    EXPECT_EQ(table.listings, 2);
    EXPECT_TRUE(enumerator.CreateModuleList(99)->records.empty());
    EXPECT_EQ(enumerator.LastError(), ProcessError::EnumerationFailed);

    table.fail = true;
    EXPECT_TRUE(enumerator.CreateProcessList()->records.empty());
    EXPECT_EQ(enumerator.LastError(), ProcessError::EnumerationFailed);
    EXPECT_FALSE(enumerator.KillProcessByName("C:\\app.exe"));
}

TEST_F(ProcessEnumeratorTest, KillByNameEndsEveryInstanceWhateverItsFolderOrCase) {
    CountingTable& table = UseTable(
        {Process(1, "C:\\Program Files\\App\\app.exe"), Process(2, "C:\\windows\\notepad.exe"),
         Process(3, "D:\\Other\\APP.exe"), Process(4, ""), Process(5, "C:\\Tools\\myapp.exe")});
    table.refusing = 1;
    ASSERT_TRUE(enumerator.Initialise(machine.get()));
    // A refusal is silent and the walk goes on to the other instance.
    EXPECT_TRUE(enumerator.KillProcessByName("C:\\Dir\\APP.EXE"));
    EXPECT_EQ(table.terminated, (std::vector<uint32_t>{1, 3}));
    EXPECT_FALSE(enumerator.KillProcessByName("C:\\nothing.exe"));
    // "-" is no executable: nothing named so is ever killed.
    EXPECT_FALSE(enumerator.KillProcessByName("-"));
    EXPECT_EQ(ProcessEnumerator::ExecutableKey("C:\\A\\B\\\xC9T\xC9.EXE"), "\xE9t\xE9.exe");
    EXPECT_EQ(ProcessEnumerator::ExecutableKey("plain.EXE"), "plain.exe");
}

TEST_F(ProcessEnumeratorTest, KillByNameTakesOnlyTheBackslashAsSeparator) {
    CountingTable& table = UseTable({Process(1, "C:\\dir\\name.exe")});
    ASSERT_TRUE(enumerator.Initialise(machine.get()));
    EXPECT_FALSE(enumerator.KillProcessByName("C:/dir/name.exe"));
    EXPECT_TRUE(table.terminated.empty());
    EXPECT_TRUE(enumerator.KillProcessByName("C:/dir\\NAME.exe"));
}

TEST_F(ProcessEnumeratorTest, RecordsKeepTheirFieldLimits) {
    std::vector<ProcessSnapshot> many;
    for (uint32_t pid = 1; pid <= kMaxEnumerated + 10; ++pid)
        many.push_back(Process(pid, "C:\\" + std::string(300, 'x') + ".exe"));
    UseTable(std::move(many));
    ASSERT_TRUE(enumerator.Initialise(machine.get()));
    auto list = enumerator.CreateProcessList();
    ASSERT_EQ(list->records.size(), kMaxEnumerated);
    EXPECT_EQ(list->records[0].exeName.size(), kRecordTextLimit);
}

}  // namespace
}  // namespace tolvane
