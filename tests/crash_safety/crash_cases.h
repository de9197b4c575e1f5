// What the crash writer and the crash-safety test agree on: the paths each
// case writes and the two versions of its content.
#pragma once

#include <string>

namespace tolvane::crash {

inline constexpr const char* kApplicationFolder = "C:\\Program Files\\Tolvane";
inline constexpr const char* kStageFolder = "C:\\stage";

inline constexpr const char* kRegistryKey = "Software\\CrashTest";
inline constexpr const char* kRegistryValue = "Flip";
inline constexpr size_t kRegistryDataSize = 256 * 1024;
// The data of "Flip": letter repeated, with the terminating zero.
inline std::string RegistryData(char letter) {
    std::string data(kRegistryDataSize, letter);
    data.push_back('\0');
    return data;
}

// The same value in a Windows installation's SOFTWARE hive, smaller: hivex
// writes the whole hive on every commit.
inline constexpr size_t kHiveDataSize = 16 * 1024;
inline std::string HiveData(char letter) {
    std::string data(kHiveDataSize, letter);
    data.push_back('\0');
    return data;
}

inline constexpr const char* kHostsPath = "C:\\windows\\system32\\drivers\\etc\\hosts";
inline constexpr const char* kHostsEntry = "crash.example";
inline std::string HostsWithoutEntry() {
    std::string text = "127.0.0.1 localhost\r\n::1 localhost\r\n";
    for (int i = 0; i < 20000; ++i) text += "0.0.0.0 ads" + std::to_string(i) + ".example\r\n";
    return text;
}
inline std::string HostsWithEntry() {
    return HostsWithoutEntry() + "127.0.0.1 crash.example\r\n";
}

inline constexpr const char* kIgnoreExtraName = "Crash Test";
inline constexpr const char* kIgnoreExtraObject = "C:\\crash\\extra.exe";

inline constexpr const char* kStageOldDb = "C:\\stage\\old.db";
inline constexpr const char* kStageNewDb = "C:\\stage\\new.db";

inline constexpr const char* kBackupArchive = "C:\\stage\\backup.zip";
inline constexpr const char* kBackupSourceA = "C:\\stage\\a.bin";
inline constexpr const char* kBackupSourceB = "C:\\stage\\b.bin";
inline constexpr const char* kBackupEntry = "payload.bin";

}  // namespace tolvane::crash
