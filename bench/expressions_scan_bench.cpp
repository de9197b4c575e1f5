// The cost of the path expressions in the Files scan: the engine's Files
// scan of a generated tree (bench_tree.h) as drive D: of a temporary prefix,
// with the shipped definitions as they are against the same definitions
// with their EXPRESSIONS elements removed, alternating, the best of --runs
// counting. Prints both times and the ratio (goal: at most 1.2), and the
// lookup alone: the expressions' set over every path the walk met.
//
//   expressions_scan_bench [--tree DIR] [--runs N] [--files N]
// --tree keeps the generated tree in DIR (default /tmp/tolvane-bench-expressions).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "bench/bench_tree.h"
#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "machine/machine.h"
#include "scan/scan_engine.h"
#include "settings/settings_store.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string ShippedMarkup() {
    std::ifstream in(std::string(TOLVANE_SOURCE_ROOT) + "/data/definitions.xml", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string WithoutExpressions(std::string markup) {
    for (size_t at = markup.find("<EXPRESSIONS>"); at != std::string::npos;
         at = markup.find("<EXPRESSIONS>", at)) {
        size_t end = markup.find("</EXPRESSIONS>", at);
        if (end == std::string::npos) break;
        markup.erase(at, end + 14 - at);
    }
    return markup;
}

double FilesScanMs(Machine& machine, ThreatDatabase& db, int* listed) {
    ScanEngine engine(machine, db);
    auto start = Clock::now();
    engine.RunScan();
    *listed = static_cast<int>(engine.Results().listedObjects.size());
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Every file path below the tree as the walk spells it on drive D:.
std::vector<std::string> TreePaths(const fs::path& tree) {
    std::vector<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(tree)) {
        if (!entry.is_regular_file()) continue;
        std::string path = "D:\\" + fs::relative(entry.path(), tree).string();
        std::replace(path.begin(), path.end(), '/', '\\');
        paths.push_back(std::move(path));
    }
    return paths;
}

int Run(const std::string& tree, int runs, int files) {
    if (!fs::exists(tree)) bench::MakeTree(tree, std::max(1, files / 10), files);
    testing::TempPrefix prefix;
    prefix.AddDrive('d', tree);
    std::unique_ptr<Machine> machine = prefix.Open();
    SettingsStore(machine->registry()).WriteInt(setting::kLastScanMode, 6);
    PlaceholderFolders folders = PlaceholderFolders::FromShell(machine->shell());
    const std::string markup = ShippedMarkup();
    ThreatDatabase with, without;
    if (!LoadDefinitionsFromText(markup, folders, &with) ||
        !LoadDefinitionsFromText(WithoutExpressions(markup), folders, &without))
        return std::printf("cannot load data/definitions.xml\n"), 1;
    double best = 1e30, bestWithout = 1e30;
    int listed = 0, listedWithout = 0;
    for (int i = 0; i < runs; ++i) {
        bestWithout = std::min(bestWithout, FilesScanMs(*machine, without, &listedWithout));
        best = std::min(best, FilesScanMs(*machine, with, &listed));
    }
    std::printf("files scan of %s (%d files asked): %zu path expressions\n", tree.c_str(), files,
                with.fileExpressions().Size());
    std::printf("  with expressions:    %.1f ms, %d listed\n", best, listed);
    std::printf("  without expressions: %.1f ms, %d listed\n", bestWithout, listedWithout);
    std::printf("  ratio %.3f (goal <= 1.2)\n", best / bestWithout);
    std::vector<std::string> paths = TreePaths(tree);
    auto start = Clock::now();
    size_t hits = 0;
    for (const std::string& path : paths) hits += with.MatchFileExpression(path) != nullptr;
    double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    std::printf("  lookup alone: %.0f ns a path over %zu paths (%zu matched)\n",
                paths.empty() ? 0.0 : ns / paths.size(), paths.size(), hits);
    return 0;
}

}  // namespace
}  // namespace tolvane

int main(int argc, char** argv) {
    std::string tree = "/tmp/tolvane-bench-expressions";
    int runs = 3, files = 100000;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--tree")
            tree = argv[i + 1];
        else if (option == "--runs")
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--files")
            files = std::max(1, std::atoi(argv[i + 1]));
    }
    return tolvane::Run(tree, runs, files);
}
