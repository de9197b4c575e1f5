#include "script/script_host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "script/heap_usage.h"
#include "script/script_test_support.h"

namespace tolvane {
namespace {

using testing::ScriptFixture;
using Texts = std::vector<std::string>;

// Whether the allocator reports what the process holds (not so under a
// sanitizer's allocator, which the memory watch then cannot see).
bool HeapUsageVisible() {
    size_t before = AllocatedHeapBytes();
    std::vector<char> block(size_t{16} << 20, 'x');
    size_t during = AllocatedHeapBytes();
    return before != 0 && during > before && during - before >= block.size() / 2;
}

TEST(ScriptHostTest, EvaluatesScriptsSilentlyAndKeepsGlobalsWithinOneEngine) {
    ScriptFixture f;
    EXPECT_EQ(f.Run(""), Texts{});
    EXPECT_EQ(f.lastOutcome, ScriptOutcome::Completed);

    // A syntax error shows nothing; the next script still runs.
    EXPECT_EQ(f.Run("doit('before'; this is not javascript"), Texts{});
    EXPECT_EQ(f.lastOutcome, ScriptOutcome::Stopped);
    EXPECT_EQ(f.Run("doit('next')"), Texts{"next"});

    // An uncaught exception ends the script at that point, silently.
    EXPECT_EQ(f.Run("doit('one'); throw new Error('x'); doit('two');"), Texts{"one"});
    EXPECT_EQ(f.lastOutcome, ScriptOutcome::Stopped);

    // What one script defines the next one can use.
    f.Run("var counter = 41; function Greet(who) { doit('hello ' + who); }");
    EXPECT_EQ(f.Run("counter++; Greet(String(counter));"), Texts{"hello 42"});

    // The standard classes are there.
    EXPECT_EQ(f.Run("doit([3,1,2].sort().join() + Math.max(1, 5) + 'a-b'.split('-').length +"
                    " /b+/.exec('abbbc')[0] + JSON.stringify({k: 1}))"),
              Texts{"1,2,352bbb{\"k\":1}"});

    // A fresh engine forgets them.
    ASSERT_TRUE(f.host.StartEngine());
    EXPECT_EQ(f.Run("doit(typeof Greet + ' ' + typeof counter)"), Texts{"undefined undefined"});
}

TEST(ScriptHostTest, RejectedNativeCallsEndTheScriptUncatchably) {
    ScriptFixture f;
    EXPECT_EQ(f.Run("doit('a'); IsFileExists(); doit('b');"), Texts{"a"});
    EXPECT_EQ(f.Run("doit('a'); IsFileExists(42); doit('b');"), Texts{"a"});
    // Not an exception a script could catch.
    EXPECT_EQ(f.Run("try { IsFileExists(null); } catch (e) { doit('caught'); } doit('after');"),
              Texts{});
    EXPECT_EQ(f.lastOutcome, ScriptOutcome::Stopped);
    EXPECT_EQ(f.Run("doit(String(IsFileExists('C:\\\\windows')))"), Texts{"true"});
}

TEST(ScriptHostTest, ScriptTextIsCodePage1252AndEndsAtItsFirstZeroByte) {
    ScriptFixture f;
    // 0x80 is the euro sign in code page 1252.
    EXPECT_EQ(f.Run("doit('\x80' + '\xe9'.length)"), Texts{"\x80"
                                                           "1"});
    EXPECT_EQ(f.Run(std::string("doit('kept');\0doit('cut');", 26)), Texts{"kept"});
}

TEST(ScriptHostTest, HostileScriptsFailCleanlyAndTheNextScriptRuns) {
    // Time enough that the time limit never comes first here.
    ScriptLimits limits;
    limits.timeLimit = std::chrono::seconds(60);
    limits.memoryLimit = size_t{48} << 20;
    ScriptFixture f(limits);

    // Objects without end exhaust the 1 MiB engine heap.
    f.Run("var hoard = []; for (;;) hoard.push({n: hoard.length, s: 'x' + hoard.length});");
    EXPECT_EQ(f.lastOutcome, ScriptOutcome::Stopped);
    f.Run("hoard = null;");  // lets the next scripts allocate again
    EXPECT_EQ(f.Run("doit('alive 1')"), Texts{"alive 1"});

    // Recursion without end stops at the stack quota.
    EXPECT_EQ(f.Run("function down(n) { return down(n + 1) + 1; } down(0); doit('no');"), Texts{});
    EXPECT_EQ(f.lastOutcome, ScriptOutcome::Stopped);
    EXPECT_EQ(f.Run("doit('alive 2')"), Texts{"alive 2"});

    // Array contents live outside the engine heap: the memory limit stops them.
    if (!HeapUsageVisible()) GTEST_SKIP() << "the allocator does not report its usage";
    f.Run("var numbers = []; for (;;) numbers.push(1.5);");
    EXPECT_EQ(f.lastOutcome, ScriptOutcome::MemoryExceeded);
    f.Run("numbers = null;");
    EXPECT_EQ(f.Run("doit('alive 3')"), Texts{"alive 3"});
}

TEST(ScriptHostTest, AnEndlessLoopIsInterruptedAndTheNextScriptRuns) {
    ScriptLimits limits;
    limits.timeLimit = std::chrono::milliseconds(300);
    ScriptFixture f(limits);
    // Also a loop that a finally block starts again after the interrupt.
    auto start = std::chrono::steady_clock::now();
    f.Run("var before = 1; try { for (;;) {} } finally { for (;;) {} }");
    EXPECT_EQ(f.lastOutcome, ScriptOutcome::TimedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(f.Run("doit('alive ' + before)"), Texts{"alive 1"});
    EXPECT_EQ(f.lastOutcome, ScriptOutcome::Completed);
}

TEST(ScriptHostTest, TimeInMessageBoxesDoesNotCountAgainstTheLimit) {
    ScriptLimits limits;
    limits.timeLimit = std::chrono::milliseconds(200);
    ScriptFixture f(limits);
    class SlowView : public testing::RecordingView {
        PromptAnswer Ask(const Prompt& prompt) override {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            return RecordingView::Ask(prompt);
        }
    } slow;
    ScriptHost host(*f.machine, slow, limits);
    ASSERT_TRUE(host.StartEngine());
    EXPECT_EQ(host.RunScript("doit('1'); doit('2'); doit('3'); doit('4');"),
              ScriptOutcome::Completed);
    EXPECT_EQ(slow.Texts(), (Texts{"1", "2", "3", "4"}));
}

TEST(ScriptHostTest, ANewEngineReplacesTheOneOfAnotherHost) {
    ScriptFixture first;
    ScriptFixture second;  // its engine replaced the first one's
    EXPECT_EQ(first.host.RunScript("doit('x')"), ScriptOutcome::NoEngine);
    EXPECT_FALSE(first.host.HasEngine());
    EXPECT_EQ(second.Run("doit('y')"), Texts{"y"});
    ASSERT_TRUE(first.host.StartEngine());
    EXPECT_EQ(first.Run("doit('z')"), Texts{"z"});
    EXPECT_EQ(second.host.RunScript("1"), ScriptOutcome::NoEngine);

    ScriptHost never(*first.machine, first.view);
    EXPECT_EQ(never.RunScript("1"), ScriptOutcome::NoEngine);
}

}  // namespace
}  // namespace tolvane
