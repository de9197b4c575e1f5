// The program's settings and the state that survives a restart, kept as
// string values of HKEY_LOCAL_MACHINE\SOFTWARE\Tolvane in the machine's
// registry, plus the program's entries in the Windows start-up keys.
//
// Every value is REG_SZ; numbers are their decimal text and are read the way
// atoi reads (leading blanks, a sign, digits up to the first other
// character; no digits gives 0). Names match without regard to case. Each
// call opens the key (creating it when missing), does its one query or set
// and closes it: nothing is cached, so a value written anywhere is read at
// once everywhere, from the window thread and the scan worker alike.
// For a machine that keeps no state of Tolvane's inside (a Windows
// installation, which only a confirmed removal or restore writes), OnHost
// keeps the values in a host file instead (one "NAME=VALUE" line each,
// backslash, line feed and carriage return escaped as \\, \n and \r),
// written through ReplaceOwnFile (host_files.h) and read only while it is
// the running user's own; the machine's registry is then neither read nor
// written for them. A write the file refuses holds in memory as below.
// Registry failures are not reported: a failed read gives the value's
// default. A write the registry refuses (the prefix's wineserver owns the
// registry while it runs; a hive file may be damaged or read-only) still
// holds for the rest of this run: the value is kept in memory for that
// Registry object, every store over it reads it before the registry, and the
// next write the registry takes replaces it. Without that, a scan started
// while a Windows program runs would find its scan mode unwritable and run
// no phase at all.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

class Registry;

// Names of the settings values, as the program writes them.
namespace setting {
inline constexpr const char* kAtStartUp = "AtStartUp";
inline constexpr const char* kRemoveAfterScan = "RemoveAfterScan";
inline constexpr const char* kStartUpScanMode = "StartUpScanMode";
inline constexpr const char* kLastScanMode = "LastScanMode";
inline constexpr const char* kCustScanActive = "Cust_Scan_Active";
inline constexpr const char* kCustScanRegistry = "Cust_Scan_Registry";
inline constexpr const char* kCustScanDeep = "Cust_Scan_Deep";
inline constexpr const char* kCustScanDrives = "Cust_Scan_Drives";
inline constexpr const char* kCustScanIeFav = "Cust_Scan_IEFAV";
inline constexpr const char* kCustScanHosts = "Cust_Scan_Hosts";
// The folder choosers write the counts with these names ...
inline constexpr const char* kCustScanDrivesNum = "Cust_Scan_Drives_Num";
inline constexpr const char* kScanDrivesNum = "Scan_Drives_Num";
// ... and the scans read them with these (the same values: names fold case).
inline constexpr const char* kCustScanDrivesNumRead = "Cust_Scan_Drives_NUM";
inline constexpr const char* kScanDrivesNumRead = "Scan_Drives_NUM";
inline constexpr const char* kStartUpDeleteCount = "StartUpDeleteCount";
// Web addresses of our own project: the update server the update client
// asks, the support page of "Online Help" and the web address of the About
// box. Fixed settings: their defaults stand unless the key holds a value.
inline constexpr const char* kUpdateServer = "UpdateServer";
inline constexpr const char* kSupportPage = "SupportPage";
inline constexpr const char* kWebSite = "WebSite";
}  // namespace setting

// The two folder lists: entry n (1 .. count) is the value PREFIX followed by
// n in decimal, the count is PREFIX followed by "Num".
inline constexpr const char* kCustomScanFolderList = "Cust_Scan_Drives_";
inline constexpr const char* kDrivesAndFoldersList = "Scan_Drives_";

enum class SettingKind { Integer, String };

// One row of the settings table: what a read gives when the value is missing.
struct SettingInfo {
    const char* name;
    SettingKind kind;
    const char* defaultValue;  // as stored text ("0" for the integers)
};

// Every named setting with its default. The numbered list and queue entries
// ("Scan_Drives_3", "StartUpDelete0", ...) are not listed: they default to "".
const std::vector<SettingInfo>& SettingsTable();
// The row of a name (without regard to case), or nullptr.
const SettingInfo* FindSetting(std::string_view name);

// atoi as the C library has it, clamped to the 32-bit range instead of
// overflowing.
int32_t ParseSettingInt(std::string_view text);

class SettingsStore {
  public:
    explicit SettingsStore(Registry& registry);
    // The values in hostFile on the host ("" keeps them in memory only).
    static SettingsStore OnHost(Registry& registry, std::string hostFile);

    // Longest data a read takes, in bytes with the terminating zero, as the
    // program's read buffers were sized; longer data reads as a failed read.
    static constexpr size_t kIntBufferSize = 200;
    static constexpr size_t kStringBufferSize = 1024;

    int32_t ReadInt(std::string_view name) const;
    void WriteInt(std::string_view name, int32_t value);
    std::string ReadString(std::string_view name) const;
    void WriteString(std::string_view name, std::string_view value);

    // A folder list: the count (PREFIX "Num") and then entries 1 .. count.
    // Entries beyond a shorter new list stay in the store unread.
    std::vector<std::string> ReadFolderList(std::string_view listPrefix) const;
    void WriteFolderList(std::string_view listPrefix, const std::vector<std::string>& folders);

    // The start-up deletion queue: StartUpDeleteCount and then the values
    // "StartUpDelete0" .. count minus 1.
    std::vector<std::string> ReadStartUpDeleteQueue() const;
    void WriteStartUpDeleteQueue(const std::vector<std::string>& paths);

    // The "Run" entry: value "Tolvane" of
    // HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run with "%s -s" (the
    // program path, not quoted). The key
    // is opened with full access and not created when missing; false when it
    // could not be opened or written.
    bool WriteRunEntry(const std::string& programPath);
    // Sets the "Run" value to the empty string, then deletes it.
    bool RemoveRunEntry();
    // The "RunOnce" entry: value "Tolvane" of ...\CurrentVersion\RunOnce with
    // "\"%s\" -b" (the program path in double quotes); not created when the
    // key is missing.
    bool WriteRunOnceEntry(const std::string& programPath);

    // The application paths: "C:\Program Files\Tolvane\Tolvane.exe" and its
    // folder "C:\Program Files\Tolvane\" (ending in a backslash).
    static std::string ProgramPath();
    static std::string ApplicationFolder();

    // "SOFTWARE\Tolvane"
    static std::string KeyPath();

  private:
    bool ReadText(std::string_view name, size_t bufferSize, std::string* text) const;
    void WriteText(std::string_view name, std::string_view text);
    bool ReadHostValue(std::string_view name, std::string* data) const;
    bool WriteHostValue(std::string_view name, std::string_view text);
    Registry& registry_;
    bool onHost_ = false;
    std::string hostFile_;
};

}  // namespace tolvane
