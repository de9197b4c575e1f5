// ScanHandOver: how the scan worker's messages reach the user-interface
// thread cheaply while the window sees what it would see if every message
// were handed over on its own.
//
// Handing each message over synchronously costs two thread switches (and a
// handful of futex calls) per examined file, far more than the walk itself;
// on a busy machine every switch waits for a free core. So:
// - A progress-only message (a step, a deep-registry key) does not wait. The
//   worker leaves a snapshot of what the window reads for it (the counters,
//   the progress units, the current item) in one slot and asks the
//   user-interface thread to take it; a step that comes before the slot was
//   taken overwrites the snapshot: the messages the window did not take yet
//   are merged into the latest one. The window shows the latest counters and
//   current item either way. What a message does beyond showing values, one
//   progress-bar step per message whose objectsScanned is a multiple of 10,
//   is carried in the snapshot as a count, so the bar ends where it would.
// - Every other message (a new object, that is a row; a phase; the last
//   message of a scan) is handed over synchronously as before: the worker
//   waits until the window has handled it and reads the live engine, the
//   object included. A snapshot still in the slot is shown first, inside the
//   same hand-over, so the window handles the messages in the order they
//   were sent and a row never arrives before the counters that precede it.
// Spinning before sleeping was not chosen: on two busy cores the spinning
// thread takes the core the other one needs.
//
// Threads: Step and Send on the worker only; the constructor, the
// destructor and the show callback on the user-interface thread. A task
// still queued when the hand-over is destroyed does nothing.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "scan/detected_object.h"

namespace tolvane {

class UiThread;

// What the window reads for a progress-only message, taken by the worker
// when it sends it.
struct ScanSnapshot {
    ScanCounterValues counters;
    int progressUnits = 0;
    std::string currentItem;
    // Messages merged into this one whose objectsScanned was a multiple of 10.
    int barSteps = 0;
};

class ScanHandOver {
  public:
    using ShowSnapshot = std::function<void(const ScanSnapshot&)>;
    // show runs on the user-interface thread for each snapshot taken.
    ScanHandOver(UiThread& ui, ShowSnapshot show);
    ~ScanHandOver();
    ScanHandOver(const ScanHandOver&) = delete;
    ScanHandOver& operator=(const ScanHandOver&) = delete;

    // Worker: a progress-only message with what the window reads for it.
    void Step(const ScanCounterValues& counters, int progressUnits, std::string_view currentItem);
    // Worker: runs task on the user-interface thread after any snapshot not
    // yet shown, and returns when it has run (see UiThread::Send).
    void Send(const std::function<void()>& task);

  private:
    struct Slot;
    // On the user-interface thread: shows the snapshot in the slot, if any;
    // fromTask for the task Step queued.
    static void ShowPending(Slot& slot, bool fromTask);
    UiThread& ui_;
    std::shared_ptr<Slot> slot_;
};

}  // namespace tolvane
