#include "testing/hivexget.h"

#include "testing/run_command.h"

namespace tolvane::testing {

std::string HivexgetValue(const std::string& hive, const std::string& key,
                          const std::string& name) {
    std::string out;
    RunCommand("hivexget " + ShellQuote(hive) + " " + ShellQuote(key) + " " + ShellQuote(name) +
                   " 2>/dev/null",
               &out);
    return out;
}

}  // namespace tolvane::testing
