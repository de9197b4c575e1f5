#include "tools/db/host_files.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tolvane {

bool ReadHostFile(const std::string& path, std::string* content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return false;
    *content = buffer.str();
    return true;
}

bool WriteHostFileAtomic(const std::string& path, std::string_view content, std::string* why) {
    std::filesystem::path target(path);
    std::filesystem::path temp = target;
    temp += ".tmp-" + std::to_string(::getpid());
    FILE* out = std::fopen(temp.c_str(), "wb");
    if (!out) {
        *why = "cannot create " + temp.string();
        return false;
    }
    bool ok = std::fwrite(content.data(), 1, content.size(), out) == content.size();
    ok = std::fflush(out) == 0 && ok;
    ok = ::fsync(::fileno(out)) == 0 && ok;
    ok = std::fclose(out) == 0 && ok;
    std::error_code error;
    if (ok) std::filesystem::rename(temp, target, error);
    if (!ok || error) {
        std::filesystem::remove(temp, error);
        *why = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace tolvane
