#include "app/scan_hand_over.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "app/views/scripted_views.h"

namespace tolvane::testing {
namespace {

ScanCounterValues Scanned(int count) {
    ScanCounterValues counters;
    counters.objectsScanned = count;
    return counters;
}

// Steps the window has not taken are merged into the latest; a synchronous
// message shows them first, so the window meets everything in the order sent.
TEST(ScanHandOverTest, UntakenStepsMergeAndGoBeforeTheNextSentMessage) {
    TaskQueueUiThread ui;
    std::vector<std::string> seen;
    ScanHandOver handOver(ui, [&](const ScanSnapshot& shown) {
        seen.push_back(shown.currentItem + " scanned " +
                       std::to_string(shown.counters.objectsScanned) + " units " +
                       std::to_string(shown.progressUnits) + " bar " +
                       std::to_string(shown.barSteps));
    });
    std::atomic<bool> stepped{false};
    std::atomic<bool> sent{false};
    std::thread worker([&] {
        // Nothing is taken until the worker sends: 1..25 merge into one,
        // carrying the two multiples of 10.
        for (int i = 1; i <= 25; ++i) handOver.Step(Scanned(i), i * 4, "C:\\f" + std::to_string(i));
        stepped = true;
        stepped.notify_one();
        handOver.Send([&] { seen.push_back("row"); });
        sent = true;
        handOver.Step(Scanned(30), 120, "C:\\f30");
    });
    stepped.wait(false);  // the window takes nothing while the steps come
    ui.RunUntil([&] { return sent.load(); });
    worker.join();
    ui.RunPending();
    EXPECT_EQ(seen, (std::vector<std::string>{"C:\\f25 scanned 25 units 100 bar 2", "row",
                                              "C:\\f30 scanned 30 units 120 bar 1"}));
}

// A step still queued when the window goes shows nothing.
TEST(ScanHandOverTest, AQueuedStepOutlivingTheHandOverDoesNothing) {
    TaskQueueUiThread ui;
    int shown = 0;
    {
        ScanHandOver handOver(ui, [&](const ScanSnapshot&) { ++shown; });
        std::thread([&] { handOver.Step(Scanned(1), 0, "C:\\x"); }).join();
    }
    ui.RunPending();
    EXPECT_EQ(shown, 0);
}

}  // namespace
}  // namespace tolvane::testing
