#include "app/views/startup_entries_window.h"

#include "app/views/ui_thread.h"

namespace tolvane {

std::string StartupFlagsText(const StartupEntry& entry) {
    std::string flags;
    auto add = [&](const std::string& flag) { flags += (flags.empty() ? "" : ",") + flag; };
    if (entry.facts.missing) add("missing");
    if (entry.facts.userWritable) add("user-writable");
    if (entry.scriptHost) add("script-host");
    if (entry.facts.notSigned) add("not-signed");
    if (!entry.facts.threat.empty()) add("threat:" + entry.facts.threat);
    if (entry.isNew) add("new");
    if (!entry.enabled) add("disabled");
    if (entry.wines) add("wine");
    if (entry.windows) add("windows");
    return flags.empty() ? "-" : flags;
}

bool IsSystemsOwn(const StartupEntry& entry) {
    return entry.wines || entry.windows;
}

StartupEntriesWindow::StartupEntriesWindow(UiThread& ui, Lister lister)
    : ui_(ui), lister_(std::move(lister)), self_(std::make_shared<StartupEntriesWindow*>(this)) {}

StartupEntriesWindow::~StartupEntriesWindow() {
    *self_ = nullptr;
    // The lister reads the machine, which may go right after the window.
    if (worker_.joinable()) worker_.join();
}

void StartupEntriesWindow::Start() {
    if (listing_ || worker_.joinable()) return;
    listing_ = true;
    std::weak_ptr<StartupEntriesWindow*> self = self_;
    worker_ = std::thread([this, self] {
        // Only the posted task touches the window, on its thread, and only
        // while the window exists (its destructor runs there too).
        StartupListing listing = lister_();
        ui_.Post([self, listing = std::move(listing)]() mutable {
            if (auto window = self.lock(); window && *window) (*window)->Show(std::move(listing));
        });
    });
}

void StartupEntriesWindow::Show(StartupListing listing) {
    if (worker_.joinable()) worker_.join();
    all_ = std::move(listing);
    checked_.assign(all_.entries.size(), false);
    listing_ = false;
    Filter();
}

void StartupEntriesWindow::SetHideOwn(bool hide) {
    if (hide == hideOwn_) return;
    hideOwn_ = hide;
    Filter();
}

void StartupEntriesWindow::Filter() {
    shown_.clear();
    for (size_t i = 0; i < all_.entries.size(); ++i)
        if (!hideOwn_ || !IsSystemsOwn(all_.entries[i])) shown_.push_back(i);
    if (onChanged) onChanged();
}

const StartupEntry& StartupEntriesWindow::Entry(size_t row) const {
    return all_.entries.at(shown_.at(row));
}

std::string StartupEntriesWindow::Text(size_t row, StartupColumn column) const {
    const StartupEntry& entry = Entry(row);
    switch (column) {
        case StartupColumn::Location:
            return entry.location;
        case StartupColumn::Name:
            return entry.name;
        case StartupColumn::Command:
            return entry.command;
        case StartupColumn::File:
            return entry.file;
        case StartupColumn::Flags:
            return StartupFlagsText(entry);
        case StartupColumn::Count:
            break;
    }
    return {};
}

bool StartupEntriesWindow::Checked(size_t row) const {
    return checked_.at(shown_.at(row));
}

void StartupEntriesWindow::SetChecked(size_t row, bool checked) {
    checked_.at(shown_.at(row)) = checked;
}

std::vector<const StartupEntry*> StartupEntriesWindow::CheckedEntries() const {
    std::vector<const StartupEntry*> entries;
    for (size_t index : shown_)
        if (checked_[index]) entries.push_back(&all_.entries[index]);
    return entries;
}

bool StartupEntriesWindow::CanAct() const {
    return act && !listing_ && !CheckedEntries().empty();
}

void StartupEntriesWindow::Act(StartupAction action) {
    if (!CanAct()) return;
    std::vector<StartupEntry> chosen;
    for (const StartupEntry* entry : CheckedEntries()) chosen.push_back(*entry);
    if (!act(action, chosen)) return;
    Start();
    if (onChanged) onChanged();
}

std::vector<std::pair<std::string, std::string>> StartupEntriesWindow::Details(size_t row) const {
    const StartupEntry& e = Entry(row);
    auto yesNo = [](bool value) { return std::string(value ? "yes" : "no"); };
    return {
        {"Location", e.location},
        {"Name", e.name},
        {"Command", e.command},
        {"File", e.file.empty() ? "(none could be found in the command)" : e.file},
        {"File exists", yesNo(e.facts.exists)},
        {"Size", e.facts.exists ? std::to_string(e.facts.size) + " bytes" : ""},
        {"SHA-256", e.facts.sha256},
        {"Enabled", yesNo(e.enabled)},
        {"In a user-writable place", yesNo(e.facts.userWritable)},
        {"Run through a script host", yesNo(e.scriptHost)},
        {"Threat", e.facts.threat.empty() ? "none known" : e.facts.threat},
        {"New since the last listing", yesNo(e.isNew)},
        {"Wine's own", yesNo(e.wines)},
        {"Windows' own", yesNo(e.windows)},
        {"Company", e.facts.company},
        {"Product", e.facts.product},
        {"Description", e.facts.description},
        {"Signature", !e.facts.pe         ? "not a program"
                      : e.facts.signature ? "present (not verified)"
                                          : "absent"},
        {"Flags", StartupFlagsText(e)},
    };
}

std::string StartupEntriesWindow::StatusText() const {
    if (listing_) return kListingStartupText;
    const size_t hidden = all_.entries.size() - shown_.size();
    std::string text = std::to_string(shown_.size()) + (shown_.size() == 1 ? " entry" : " entries");
    if (hidden > 0) text += ", " + std::to_string(hidden) + " of Windows and Wine hidden";
    return text + ".";
}

}  // namespace tolvane
