// libFuzzer target: the definitions load from untrusted bytes.
//
// The first byte chooses what the rest is:
//   even: a database file (container, markup, definitions);
//   odd:  markup text, packed first so that the container reader, the line
//         ends, the parser and the definitions reader all see it.
// Every loaded database is then walked with the cursor reads and the
// lookups, so that no path through them can crash or hang.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "definitions/container.h"
#include "definitions/load_definitions.h"
#include "definitions/markup_parser.h"
#include "definitions/pattern_match.h"
#include "definitions/threat_database.h"

namespace {

void Exercise(const std::string& text) {
    tolvane::MarkupParser parser;
    if (!parser.Parse(text)) return;
    // Wander the tree the way the loaders do, with names and without.
    for (int step = 0; step < 64; ++step) {
        switch (step % 6) {
            case 0:
                parser.NextChild(step % 12 ? "" : "SW");
                break;
            case 1:
                parser.EnterChild();
                break;
            case 2:
                (void)parser.ChildData();
                break;
            case 3:
                (void)parser.ChildAttribute("NAME");
                break;
            case 4:
                (void)parser.ElementAttribute("VERSION");
                break;
            default:
                if (!parser.LeaveElement()) parser.NextElement("");
                break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    tolvane::PlaceholderFolders folders;
    folders[tolvane::Placeholder::WinDir] = "C:\\windows";
    folders[tolvane::Placeholder::Temp] = "%windir%\\Temp";

    std::string stored;
    if (data[0] & 1) {
        if (!tolvane::EncodeContainer(rest, &stored)) return 0;
    } else {
        stored.assign(rest);
    }
    std::string text;
    if (tolvane::DecodeContainer(stored, &text)) Exercise(text);

    tolvane::ThreatDatabase db;
    if (!tolvane::LoadDefinitionsFromContainer(stored, folders, &db)) return 0;
    for (const auto& d : db.definitions()) {
        for (const auto& file : d->files) {
            db.MatchFile(file.path, [] { return uint64_t{0}; });
            tolvane::PatternMatch(tolvane::ThreatDatabase::FilePattern(file.path), file.path);
        }
        for (const auto& dir : d->directories) db.MatchFolder(dir.path, [] { return true; });
    }
    db.MatchFile("C:\\windows\\system32\\a.dll", [] { return uint64_t{1}; });
    return 0;
}
