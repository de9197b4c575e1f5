#include "testing/run_command.h"

#include <sys/wait.h>

#include <array>
#include <cstdio>

namespace tolvane::testing {

int RunCommand(const std::string& commandLine, std::string* out) {
    if (out) out->clear();
    FILE* pipe = popen(commandLine.c_str(), "r");
    if (!pipe) return -1;
    std::array<char, 4096> buffer;
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        if (out) out->append(buffer.data(), n);
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ShellQuote(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace tolvane::testing
