// libFuzzer target: Wine registry files (system.reg, user.reg, userdef.reg)
// from untrusted bytes.
//
// Whatever the text, parsing must not crash, and reading keys and values
// key by key when asked must give what reading the file line by line gives. For a text with
// the registry file's header and no damaged line, what the writer makes of
// the tree must read back without problems into the same tree: Wine's own
// form of a hive is a fixed point of parse and write (times aside: a key
// without one is written with the time of writing). A damaged text (no
// header, lines that cannot be read) is never written back: the registry
// keeps such a hive read-only.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/lines.h"
#include "machine/wine/wine_hive.h"

namespace {

// The text without the times of key blocks ("] 1733650000", "#time=...")
// and the '#' lines of key blocks that carry no meaning.
std::string WithoutTimes(std::string_view text) {
    std::string out;
    tolvane::ForEachLine(text, tolvane::LineEnd::Kept, [&](std::string_view line) {
        // Times, and '#' lines Wine does not interpret (a key given twice
        // keeps those of both blocks only when it is written anew).
        if (line.rfind("#", 0) == 0 && line.rfind("#class=", 0) != 0 && line != "#link") return;
        if (!line.empty() && line[0] == '[') {
            size_t close = line.rfind("] ");
            if (close != std::string_view::npos) line = line.substr(0, close + 1);
        }
        out.append(line);
        out.push_back('\n');
    });
    return out;
}

// Asks every key for its subkeys and values, the last subkeys first: the
// opposite of the order in which a whole hive is read.
void AskValuesBackwards(const tolvane::HiveKey& key) {
    for (auto sub = key.Subkeys().rbegin(); sub != key.Subkeys().rend(); ++sub)
        AskValuesBackwards(**sub);
    (void)key.Values();
}

bool HasHeader(std::string_view text) {
    return text.rfind("WINE REGISTRY Version 2\n", 0) == 0 ||
           text.rfind("WINE REGISTRY Version 2\r\n", 0) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    tolvane::WineHive hive;
    hive.ParseLineByLine(std::string(text), "fuzz.reg");
    const std::vector<std::string> problems = hive.Problems();
    for (const std::string& problem : problems) {
        if (problem.rfind("fuzz.reg:", 0) != 0) std::abort();  // every problem says where
    }
    const std::string kept = hive.Serialize(true);
    const std::string fresh = hive.Serialize(false);

    // Read with its key lines and values left as text and read key by key
    // in another order, the text gives the same problems and is written
    // back the same.
    tolvane::WineHive lazy;
    lazy.Parse(std::string(text), "fuzz.reg");
    AskValuesBackwards(lazy.root());
    if (lazy.Problems() != problems) std::abort();
    if (WithoutTimes(lazy.Serialize(true)) != WithoutTimes(kept)) std::abort();

    if (HasHeader(text) && problems.empty()) {
        // The writer's own form reads back clean and is written the same again.
        tolvane::WineHive again;
        std::vector<std::string> againProblems;
        again.Parse(fresh, "fresh.reg", &againProblems);
        if (!againProblems.empty()) std::abort();
        if (WithoutTimes(again.Serialize(false)) != WithoutTimes(fresh)) std::abort();

        // The kept text reads back clean.
        tolvane::WineHive keptHive;
        std::vector<std::string> keptProblems;
        keptHive.Parse(kept, "kept.reg", &keptProblems);
        if (!keptProblems.empty()) std::abort();
    }

    // Lookups and edits on whatever was read.
    (void)hive.Find(u"Software\\Microsoft");
    tolvane::HiveKey& root = hive.root();
    if (!root.Subkeys().empty()) {
        tolvane::HiveKey& first = *root.Subkeys().front();
        first.SetValue(u"Fuzz", 1, std::string("x\0\0\0", 4));
        first.Touch(1);
        if (!first.FindValue(u"fuzz")) std::abort();
        (void)hive.Serialize(true);
    }
    return 0;
}
