// The Files scan as users run it, end to end, against references measured in
// the same run (each pair alternating, the best of --runs counting):
//   1. `tolvane --headless --machine P scan files` over a generated tree
//      (default 200,000 files in 20,000 folders) as drive D: of a temporary
//      prefix, with the shipped database, against `find C D > /dev/null` over
//      the same folders (names only: find stats nothing). Goal: within 1.5x.
//   2. The same with D: on a FUSE mount of the tree (bindfs), against find
//      on that mount; every look at an entry there is a round trip to the
//      bindfs process.
//   3. The window's scan: the desktop program on the offscreen Qt platform,
//      a Drives & Folders scan of D: started with -s, timed from the scan
//      log's creation until it says "Scan Finished", against find over the
//      tree. Goal: within 2x.
//   4. With --million DIR: the peak resident size of a headless Files scan
//      of 1,000,000 files (DIR is made once and kept), less that of a
//      headless start that only loads the database. Goal: under 64 MB.
//
// The engine alone, without the program around it, is measured by scan_bench.
//
// files_scan_bench [--tree DIR] [--runs N] [--million DIR] [--no-fuse] [--no-window]
// --tree keeps the generated tree in DIR (default /tmp/tolvane-bench-files).
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "bench/bench_tree.h"
#include "settings/settings_store.h"
#include "testing/run_command.h"
#include "testing/temp_prefix.h"

namespace tolvane::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testing::ShellQuote;

struct Options {
    std::string tree = "/tmp/tolvane-bench-files";
    std::string million;
    int runs = 3;
    bool fuse = true;
    bool window = true;
};

struct Run {
    double wall = 1e30;
    double cpu = 1e30;
    long peakKb = 0;
    int status = 0;
};

// Runs a shell command line as a child and measures it (its own children
// included).
Run Measure(const std::string& command) {
    auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Run run;
    run.wall = std::chrono::duration<double>(Clock::now() - start).count();
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    run.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    run.peakKb = usage.ru_maxrss;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

void KeepBest(Run* best, const Run& run) {
    best->wall = std::min(best->wall, run.wall);
    best->cpu = std::min(best->cpu, run.cpu);
    best->peakKb = std::max(best->peakKb, run.peakKb);
}

void PrintPair(const char* what, const Run& scan, const Run& find, double goal) {
    std::printf("%s: tolvane %.3f s (processor %.3f s), find %.3f s (processor %.3f s)\n", what,
                scan.wall, scan.cpu, find.wall, find.cpu);
    std::printf("%s: ratio tolvane / find %.2f (goal <= %.1f); processor time ratio %.2f\n", what,
                scan.wall / find.wall, goal, scan.cpu / find.cpu);
    std::fflush(stdout);
}

std::string Program() {
    return std::string(TOLVANE_BUILD_DIR) + "/bin/tolvane";
}

std::string HeadlessScan(const testing::TempPrefix& prefix) {
    return ShellQuote(Program()) + " --headless --machine " + ShellQuote(prefix.path()) +
           " scan files >/dev/null 2>&1";
}

// Headless Files scans of drive C: and D: = drive against find over both.
void CompareHeadless(const char* what, const std::string& drive, int runs) {
    testing::TempPrefix prefix;
    prefix.AddDrive('d', drive);
    const std::string find =
        "find " + ShellQuote(prefix.Host("drive_c")) + " " + ShellQuote(drive) + " >/dev/null 2>&1";
    Run scan, found;
    for (int i = 0; i < runs; ++i) {
        KeepBest(&found, Measure(find));
        Run run = Measure(HeadlessScan(prefix));
        if (run.status != 0 && run.status != 1)
            std::printf("%s: tolvane ended with status %d\n", what, run.status);
        KeepBest(&scan, run);
    }
    PrintPair(what, scan, found, 1.5);
}

// The FUSE mount of the tree, or "" when bindfs cannot make one.
std::string MountTree(const std::string& tree, std::string* mountPoint) {
    char pattern[] = "/tmp/tolvane-bench-fuse-XXXXXX";
    if (!mkdtemp(pattern)) return {};
    *mountPoint = pattern;
    std::string out;
    if (testing::RunCommand("bindfs -o ro " + ShellQuote(tree) + " " + ShellQuote(pattern), &out) !=
        0) {
        std::printf("FUSE: bindfs could not mount the tree: %s\n", out.c_str());
        rmdir(pattern);
        return {};
    }
    return pattern;
}

void Unmount(const std::string& mountPoint) {
    std::string out;
    testing::RunCommand(
        "fusermount -u " + ShellQuote(mountPoint) + " 2>&1 || umount " + ShellQuote(mountPoint),
        &out);
    rmdir(mountPoint.c_str());
}

// The first scan log of the prefix, once there is one.
std::string FindLog(const fs::path& logs) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(logs, error)) return entry.path().string();
    return {};
}

bool Finished(const std::string& log) {
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    return text.str().find("Scan Finished") != std::string::npos;
}

// The window's Drives & Folders scan of D:, from the log's creation to its
// last line; < 0 when it did not finish within five minutes.
double WindowScan(const std::string& drive) {
    testing::TempPrefix prefix;
    prefix.AddDrive('d', drive);
    {
        auto machine = prefix.Open();
        SettingsStore settings(machine->registry());
        settings.WriteInt(setting::kStartUpScanMode, 3);
        settings.WriteInt(setting::kScanDrivesNumRead, 1);
        settings.WriteString(std::string(kDrivesAndFoldersList) + "1", "D:\\");
    }
    const fs::path logs = prefix.Host("drive_c/Program Files/Tolvane/Logs");
    pid_t pid = fork();
    if (pid == 0) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "w", stderr))
            _exit(126);
        execl(Program().c_str(), "tolvane", "--machine", prefix.path().c_str(), "-s",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    auto deadline = Clock::now() + std::chrono::minutes(5);
    std::string log;
    Clock::time_point started;
    double seconds = -1;
    while (Clock::now() < deadline) {
        if (log.empty()) {
            log = FindLog(logs);
            started = Clock::now();
        } else if (Finished(log)) {
            seconds = std::chrono::duration<double>(Clock::now() - started).count();
            break;
        }
        if (waitpid(pid, nullptr, WNOHANG) == pid) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return seconds;
}

void CompareWindow(const std::string& tree, int runs) {
    double window = 1e30;
    Run found;
    for (int i = 0; i < runs; ++i) {
        KeepBest(&found, Measure("find " + ShellQuote(tree) + " >/dev/null 2>&1"));
        double seconds = WindowScan(tree);
        if (seconds < 0) {
            std::printf("window: the scan did not finish (no display platform?)\n");
            return;
        }
        window = std::min(window, seconds);
    }
    std::printf("window: Drives & Folders scan %.3f s, find %.3f s, ratio %.2f (goal <= 2.0)\n",
                window, found.wall, window / found.wall);
    std::fflush(stdout);
}

// Peak memory of a headless Files scan of the million files over a start
// that only loads the database.
void MillionFilesMemory(const std::string& million) {
    if (!fs::exists(fs::path(million) / ".complete")) {
        std::printf("making 1,000,000 files in %s (once) ...\n", million.c_str());
        std::fflush(stdout);
        MakeTree(million, 10000, 1000000);
        std::ofstream(fs::path(million) / ".complete");
    }
    testing::TempPrefix prefix;
    prefix.AddDrive('d', million);
    Run loaded = Measure(ShellQuote(Program()) + " --headless --machine " +
                         ShellQuote(prefix.path()) + " >/dev/null 2>&1");
    Run scan = Measure(HeadlessScan(prefix));
    long growth = scan.peakKb - loaded.peakKb;
    std::printf(
        "memory: headless Files scan of 1,000,000 files peaks at %ld KiB, start-up with the "
        "database loaded %ld KiB: %.1f MiB above it (goal < 64 MiB), scan %.1f s\n",
        scan.peakKb, loaded.peakKb, growth / 1024.0, scan.wall);
}

int Main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool value = i + 1 < argc;
        if (arg == "--tree" && value)
            options.tree = argv[++i];
        else if (arg == "--runs" && value)
            options.runs = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--million" && value)
            options.million = argv[++i];
        else if (arg == "--no-fuse")
            options.fuse = false;
        else if (arg == "--no-window")
            options.window = false;
        else {
            std::fprintf(stderr,
                         "usage: files_scan_bench [--tree DIR] [--runs N] [--million DIR] "
                         "[--no-fuse] [--no-window]\n");
            return 2;
        }
    }
    const fs::path tree = fs::absolute(options.tree);
    if (!fs::exists(tree / ".complete")) {
        std::printf("making 200,000 files in %s (once) ...\n", tree.c_str());
        std::fflush(stdout);
        MakeTree(tree, 20000, 200000);
        std::ofstream(tree / ".complete");
    }
    CompareHeadless("headless", tree.string(), options.runs);
    if (options.fuse) {
        std::string mountPoint;
        if (!MountTree(tree.string(), &mountPoint).empty()) {
            CompareHeadless("headless on FUSE", mountPoint, options.runs);
            Unmount(mountPoint);
        }
    }
    if (options.window) CompareWindow(tree.string(), options.runs);
    if (!options.million.empty()) MillionFilesMemory(options.million);
    return 0;
}

}  // namespace
}  // namespace tolvane::bench

int main(int argc, char** argv) {
    return tolvane::bench::Main(argc, argv);
}
