// The "Start-up Entries" window's model: the machine's start-up entries
// (startup/startup_entries.h) as rows with check boxes and the columns
// location, name, command, file and flags; "Hide Windows and Wine entries"
// (on at first) leaves out the entries that are the system's own; the
// details of a row name every fact of its entry.
//
// The listing reads the whole machine, so it runs on a worker thread the
// window starts (Start); its result reaches the rows on the user-interface
// thread (UiThread::Post) and onChanged tells the face. The window waits
// for a listing still running when it goes.
//
// Choices of ours: rows start unchecked (a start-up entry is the user's own
// program far more often than a threat); checks stay with their entry when
// the filter changes.
//
// Threads: every call on the user-interface thread; the lister runs on the
// worker.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "startup/startup_entries.h"

namespace tolvane {

class UiThread;

inline constexpr const char* kStartupEntriesTitle = "Start-up Entries";
inline constexpr const char* kStartupEntryDetailsTitle = "Start-up Entry Details";
inline constexpr const char* kHideOwnEntriesLabel = "Hide Windows and Wine entries";
inline constexpr const char* kListingStartupText = "Listing the start-up entries...";

enum class StartupColumn { Location, Name, Command, File, Flags, Count };

// The flags of an entry, comma-separated ("missing,user-writable,
// script-host,threat:NAME,new,disabled,wine"); "-" for none.
std::string StartupFlagsText(const StartupEntry& entry);

// Whether an entry is the system's own (Wine's or Windows'), which the
// filter hides.
bool IsSystemsOwn(const StartupEntry& entry);

class StartupEntriesWindow {
  public:
    using Lister = std::function<StartupListing()>;
    StartupEntriesWindow(UiThread& ui, Lister lister);
    ~StartupEntriesWindow();
    StartupEntriesWindow(const StartupEntriesWindow&) = delete;
    StartupEntriesWindow& operator=(const StartupEntriesWindow&) = delete;

    // Starts the listing on a worker thread (once; later calls do nothing).
    void Start();
    // From Start until the listing's rows are shown.
    bool Listing() const { return listing_; }
    // Called on the user-interface thread whenever the rows change.
    std::function<void()> onChanged;

    bool HideOwn() const { return hideOwn_; }
    void SetHideOwn(bool hide);

    // The rows shown.
    size_t RowCount() const { return shown_.size(); }
    const StartupEntry& Entry(size_t row) const;
    std::string Text(size_t row, StartupColumn column) const;
    bool Checked(size_t row) const;
    void SetChecked(size_t row, bool checked);
    // The checked entries shown (what a removal would act on).
    std::vector<const StartupEntry*> CheckedEntries() const;
    // Every fact of a row's entry, as (label, value) in the details' order.
    std::vector<std::pair<std::string, std::string>> Details(size_t row) const;

    // "Listing the start-up entries..." while listing, then how many entries
    // are shown and hidden.
    std::string StatusText() const;
    // What could not be read, and the comparison with the previous listing.
    const std::vector<std::string>& Notes() const { return all_.notes; }

  private:
    void Show(StartupListing listing);
    void Filter();

    UiThread& ui_;
    Lister lister_;
    std::thread worker_;
    bool listing_ = false;
    bool hideOwn_ = true;
    StartupListing all_;
    std::vector<bool> checked_;  // by entry of all_
    std::vector<size_t> shown_;  // entries of all_ shown, in order
    // Lets a posted result tell whether the window still exists.
    std::shared_ptr<StartupEntriesWindow*> self_;
};

}  // namespace tolvane
