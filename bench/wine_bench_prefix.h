// The fresh `wine wineboot -i` prefix the benchmarks measure: made once in
// /tmp/tolvane-bench-wine and kept, or taken from $TOLVANE_BENCH_WINE_PREFIX.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "testing/run_command.h"

namespace tolvane::bench {

// The prefix's folder, "" when none could be made.
inline std::string BenchWinePrefix() {
    if (const char* given = std::getenv("TOLVANE_BENCH_WINE_PREFIX")) return given;
    const std::string prefix = "/tmp/tolvane-bench-wine";
    if (std::filesystem::exists(prefix + "/system.reg")) return prefix;
    std::string env = "WINEPREFIX=" + testing::ShellQuote(prefix) + " WINEDEBUG=-all ";
    testing::RunCommand(env + "timeout 600 wine wineboot -i >/dev/null 2>&1; " + env +
                        "wineserver -w");
    return std::filesystem::exists(prefix + "/system.reg") ? prefix : "";
}

}  // namespace tolvane::bench
