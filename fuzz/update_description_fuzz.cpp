// libFuzzer target: update description files and version texts from
// untrusted bytes. A description that parses must hold what the downloader
// relies on: a size within bounds, a 64-digit lower-case hash, a file name
// that stays inside the Updates folder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "update/update_description.h"
#include "update/version_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    tolvane::UpdateDescription description;
    std::string error;
    if (tolvane::ParseUpdateDescription(text, &description, &error)) {
        if (description.size == 0 || description.size > tolvane::kMaxUpdateDownloadBytes) abort();
        if (description.sha256.size() != 64) abort();
        for (char c : description.sha256) {
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) abort();
        }
        const std::string& name = description.fileName;
        if (name.empty() || name.front() == '.' || name.find('/') != std::string::npos ||
            name.find('\\') != std::string::npos) {
            abort();
        }
        // The server path: "/" and components that never climb out.
        std::string_view path = description.file;
        if (path.empty() || path.front() != '/') abort();
        while (!path.empty()) {
            path.remove_prefix(1);
            std::string_view component = path.substr(0, path.find('/'));
            if (component.empty() || component == "." || component == "..") abort();
            path.remove_prefix(component.size());
        }
        (void)tolvane::FormatVersion(description.version);
    } else if (error.empty()) {
        abort();  // a refusal always says why
    }
    (void)tolvane::FormatVersion(tolvane::VersionNumberFromText(text));
    return 0;
}
