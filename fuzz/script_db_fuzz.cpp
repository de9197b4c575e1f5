// libFuzzer target: the script database load from untrusted bytes.
//
// The first byte chooses what the rest is:
//   even: a script.db file (container, markup, SW records);
//   odd:  markup text, packed first so that the container reader and the
//         markup parser both see it.
// Every record is checked for the invariants the advanced scan relies on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "definitions/container.h"
#include "script/script_database.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string stored;
    if (data[0] & 1) {
        if (!tolvane::EncodeContainer(rest, &stored)) return 0;
    } else {
        stored = std::move(rest);
    }
    std::string text;
    if (!tolvane::DecodeContainer(stored, &text)) return 0;
    std::vector<tolvane::ScriptRecord> scripts;
    if (!tolvane::ParseScripts(text, &scripts)) {
        if (!scripts.empty()) std::abort();  // a failed parse adds nothing
        return 0;
    }
    for (const tolvane::ScriptRecord& record : scripts) {
        // Every text is a part of the markup (or the default description).
        if (record.script.size() > text.size() || record.name.size() > text.size()) std::abort();
    }
    return 0;
}
