#include "app/scan_hand_over.h"

#include <mutex>
#include <utility>

#include "app/views/ui_thread.h"

namespace tolvane {

struct ScanHandOver::Slot {
    std::mutex mutex;
    ScanSnapshot pending;  // valid while full
    bool full = false;
    bool taskQueued = false;  // a task that will take the slot is on its way
    // User-interface thread only: what was taken (its buffers are reused)
    // and whom to show it; cleared when the hand-over goes.
    ScanSnapshot taken;
    ShowSnapshot show;
};

ScanHandOver::ScanHandOver(UiThread& ui, ShowSnapshot show)
    : ui_(ui), slot_(std::make_shared<Slot>()) {
    slot_->show = std::move(show);
}

ScanHandOver::~ScanHandOver() {
    slot_->show = nullptr;
}

void ScanHandOver::Step(const ScanCounterValues& counters, int progressUnits,
                        std::string_view currentItem) {
    {
        std::lock_guard<std::mutex> lock(slot_->mutex);
        ScanSnapshot& pending = slot_->pending;
        if (!slot_->full) pending.barSteps = 0;
        pending.counters = counters;
        pending.progressUnits = progressUnits;
        pending.currentItem.assign(currentItem);
        if (counters.objectsScanned % 10 == 0) ++pending.barSteps;
        slot_->full = true;
        if (slot_->taskQueued) return;
        slot_->taskQueued = true;
    }
    // The task holds the slot, not the hand-over: one still queued when the
    // window goes finds nobody to show to.
    ui_.Post([slot = slot_] { ShowPending(*slot, true); });
}

void ScanHandOver::ShowPending(Slot& slot, bool fromTask) {
    {
        std::lock_guard<std::mutex> lock(slot.mutex);
        if (fromTask) slot.taskQueued = false;
        if (!slot.full) return;
        std::swap(slot.taken, slot.pending);
        slot.full = false;
    }
    if (slot.show) slot.show(slot.taken);
}

void ScanHandOver::Send(const std::function<void()>& task) {
    ui_.Send([this, &task] {
        ShowPending(*slot_, false);
        task();
    });
}

}  // namespace tolvane
