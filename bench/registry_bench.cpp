// How fast a Wine-made system.reg loads and saves, against reading and
// writing the same bytes with no parsing, measured in the same run.
//
//   1. Load: Registry over a prefix holding the file and HKLM\Software
//      opened (all three hives read as far as finding their key lines; keys
//      and values are read when first asked for) against reading the file's
//      bytes into memory. Printed beside it: the load that reads every key
//      and value too, and finding the file's lines, the least any reader of
//      the text by lines pays.
//   2. Save: one value changed (the hive written anew through a temporary
//      file, fsync, rename and an fsync of the folder) against writing the
//      same bytes the same way.
//   3. Parse and write alone (WineHive), without the file system.
// Goals: load within 3x of the plain read, save within 1.5x of the plain
// write. Each piece runs --rounds times (default 15); the median counts.
//
// The file is the system.reg of a Wine-made prefix (--system-reg FILE or
// --wine-prefix DIR); without one the benchmark makes a prefix with
// `wineboot -i` when Wine is installed, else generates a hive of 9,000 keys
// shaped like Wine's.
//
// Usage: registry_bench [--system-reg FILE | --wine-prefix DIR] [--rounds N]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "machine/registry.h"
#include "machine/wine/prefix_hive_set.h"
#include "machine/wine/wine_hive.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string ReadBytes(const std::string& path) {
    std::string bytes;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return bytes;
    char buffer[1 << 16];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
    std::fclose(file);
    return bytes;
}

// The plain write: temporary file, fsync, rename, folder fsync (what a save
// does).
bool WriteBytes(const std::string& path, const std::string& bytes) {
    const std::string temp = path + ".bench-tmp";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    bool ok = fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) return false;
    // The rename itself made durable, as a save makes it.
    int folder = open(fs::path(path).parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return false;
    ok = fsync(folder) == 0;
    close(folder);
    return ok;
}

// What any reader of the text by lines pays at least: finding each line.
size_t CountLines(const std::string& bytes) {
    size_t lines = 0;
    for (const char* at = bytes.data();
         const void* newline = std::memchr(at, '\n', bytes.data() + bytes.size() - at);
         at = static_cast<const char*>(newline) + 1)
        ++lines;
    return lines;
}

// Median seconds of rounds runs of f.
double Median(int rounds, const std::function<void()>& f) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        auto start = Clock::now();
        f();
        times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

std::string GeneratedHive() {
    std::string text =
        "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n";
    char line[512];
    for (int i = 0; i < 9000; ++i) {
        std::snprintf(line, sizeof line,
                      "\n[Software\\\\Classes\\\\CLSID\\\\{%08X-1111-2222-3333-444455556666}"
                      "\\\\InprocServer32] 1733650000\n#time=1db4a2b3c4d5e6f\n"
                      "@=\"C:\\\\windows\\\\system32\\\\lib%d.dll\"\n\"ThreadingModel\"=\"Both\"\n"
                      "\"Flags\"=dword:%08x\n\"Data\"=hex:01,02,03,04,05,06,07,08\n",
                      i * 7919, i, i);
        text += line;
    }
    return text;
}

std::string MakeWinePrefix(const std::string& dir) {
    if (std::system("command -v wineboot >/dev/null 2>&1") != 0) return "";
    std::string command = "WINEPREFIX='" + dir +
                          "' WINEDEBUG=-all wineboot -i >/dev/null 2>&1 && "
                          "WINEPREFIX='" +
                          dir + "' wineserver -w";
    if (std::system(command.c_str()) != 0) return "";
    return dir + "/system.reg";
}

}  // namespace

int main(int argc, char** argv) {
    std::string systemReg;
    int rounds = 15;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string flag = argv[i];
        if (flag == "--system-reg") systemReg = argv[i + 1];
        if (flag == "--wine-prefix") systemReg = std::string(argv[i + 1]) + "/system.reg";
        if (flag == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    char pattern[] = "/tmp/tolvane-registry-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string work = pattern;
    std::string source = "given";
    std::string bytes;
    if (systemReg.empty()) {
        systemReg = MakeWinePrefix(work + "/wine");
        source = "made by wineboot";
    }
    if (!systemReg.empty()) bytes = ReadBytes(systemReg);
    if (bytes.empty()) {
        bytes = GeneratedHive();
        source = "generated (no Wine)";
    }
    const std::string prefix = work + "/prefix";
    fs::create_directories(prefix + "/drive_c");
    const std::string target = prefix + "/system.reg";
    WriteBytes(target, bytes);
    size_t keys = 0;
    for (size_t at = bytes.find("\n["); at != std::string::npos; at = bytes.find("\n[", at + 1))
        ++keys;
    std::printf("system.reg: %zu bytes, %zu keys (%s)\n", bytes.size(), keys, source.c_str());

    std::string sink;
    const double read = Median(rounds, [&] { sink = ReadBytes(target); });
    const double load = Median(rounds, [&] {
        tolvane::Registry registry(tolvane::MakePrefixHiveSet(prefix));
        tolvane::RegKey key;
        registry.OpenKey(tolvane::Registry::Root(tolvane::RootKey::LocalMachine), "Software", 0,
                         &key);
    });
    size_t lines = 0;
    const double findLines = Median(rounds, [&] { lines = CountLines(bytes); });
    const double loadAll = Median(rounds, [&] {
        tolvane::Registry registry(tolvane::MakePrefixHiveSet(prefix));
        (void)registry.LoadProblems();  // decodes every value
    });
    const double write = Median(rounds, [&] { WriteBytes(target, bytes); });
    tolvane::Registry registry(tolvane::MakePrefixHiveSet(prefix));
    tolvane::RegKey key;
    registry.CreateKey(tolvane::Registry::Root(tolvane::RootKey::LocalMachine), "Software\\Bench",
                       0, &key);
    int counter = 0;
    const double save = Median(rounds, [&] {
        registry.SetValue(key, "Round", tolvane::REG_SZ, std::to_string(++counter));
    });
    const double parseWrite = Median(rounds, [&] {
        tolvane::WineHive hive;
        std::vector<std::string> problems;
        hive.Parse(bytes, "system.reg", &problems);
        sink = hive.Serialize(true);
    });

    std::printf("read bytes        %8.2f ms\n", read * 1e3);
    std::printf("load (Registry)   %8.2f ms   ratio %.2fx   (goal <= 3x)\n", load * 1e3,
                load / read);
    std::printf("find the %zu lines %6.2f ms   ratio %.2fx   (the least a reader by lines pays)\n",
                lines, findLines * 1e3, findLines / read);
    std::printf("load, all values  %8.2f ms   ratio %.2fx   (every key and value read as well)\n",
                loadAll * 1e3, loadAll / read);
    std::printf("write bytes       %8.2f ms   (temporary file, fsync, rename, folder fsync)\n",
                write * 1e3);
    std::printf("save (one change) %8.2f ms   ratio %.2fx   (goal <= 1.5x)\n", save * 1e3,
                save / write);
    std::printf("parse + serialize %8.2f ms   (in memory, WineHive)\n", parseWrite * 1e3);
    std::error_code error;
    fs::remove_all(work, error);
    return 0;
}
