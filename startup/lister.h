// What the start-up listing's readers share while one listing is made
// (startup_entries.h): the machine, the output, the entries already listed,
// the environment's expansion and the facts of each entry's file.
#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>

#include "machine/machine.h"
#include "startup/startup_entries.h"

namespace tolvane {

// Keys or values read from one key; the rest are left with a note.
inline constexpr uint32_t kKeyItemLimit = 10000;

struct Lister {
    Machine& machine;
    const StartupSources& sources;
    const ThreatDatabase* definitions;
    StartupListing& out;
    std::set<std::string> seen;                 // location + '\n' + name, lower case
    std::string systemRoot;                     // "C:\windows"
    const StartupLocation* location = nullptr;  // the one being read
    // The facts of each file read, by its lower-case path: many entries
    // start one file (svchost.exe, rundll32.exe), which is read once.
    std::map<std::string, StartupFileFacts> files;
    // Whether each path asked was a file, by its lower-case path: commands
    // are resolved by trying names in the system folders, whose lookups
    // without regard to case read the folder each time.
    mutable std::map<std::string, bool> existing;

    void Note(std::string text) { out.notes.push_back(std::move(text)); }
    std::string Expand(std::string_view text) const {
        return machine.shell().ExpandEnvironmentStrings(text);
    }
    bool Exists(const std::string& path) const;
    // Resolves the command (unless entry.file is set), reads the file's
    // facts and flags, and adds the entry unless the same one is listed.
    void Add(StartupEntry entry);
};

// The registry locations (startup_registry.cpp).
void ListRegistryLocation(Lister& lister, const StartupLocation& location);
// The file locations: tasks, Startup folders, single files (startup_files.cpp).
void ListFileLocation(Lister& lister, const StartupLocation& location);
// Size, SHA-256, Wine's own, the definition that matches (file_facts.cpp).
void ReadFileFacts(Lister& lister, StartupEntry& entry);

}  // namespace tolvane
