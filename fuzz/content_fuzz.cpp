// libFuzzer target: the content indicators a database or a source brings.
//
// The first byte chooses what the rest is:
//   0: the children of a definition after its DESCRIPTION (HASHES, RULES),
//      loaded through the definitions reader;
//   1: the bytes after a database's markup (the compiled-rules member):
//      split from the container and unframed, never handed to libyara,
//      which trusts what it loads and sees only vouched-for databases;
//   2: a hash list as tolvane-db import --hashes reads it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "definitions/container.h"
#include "definitions/content_indicators.h"
#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "tools/db/import/hash_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
        case 0: {
            std::string markup =
                "<NA VERSION=\"1\"><SW NAME=\"a\"><CATEGORY NAME=\"c\"/>"
                "<DANGER NAME=\"High\"/><DESCRIPTION NAME=\"d\" url=\"\"/>";
            markup.append(rest);
            markup += "</SW></NA>";
            tolvane::ThreatDatabase db;
            if (!tolvane::LoadDefinitionsFromText(markup, {}, &db)) return 0;
            (void)db.content().FindDigest(tolvane::DigestKind::Sha256, std::string(32, 'a'));
            (void)db.content().DefinitionOfRule("a");
            break;
        }
        case 1: {
            std::string stored, text, saved, problem;
            if (!tolvane::EncodeContainer("<NA/>", &stored)) return 0;
            stored.append(rest);
            std::string_view member;
            if (tolvane::DecodeContainer(stored, &text, &member))
                (void)tolvane::UnframeCompiledRules(member, &saved, &problem);
            tolvane::ThreatDatabase db;
            tolvane::LoadReport report;
            (void)tolvane::LoadDefinitionsFromContainer(stored, {}, &db, &report);
            break;
        }
        default: {
            tolvane::import::Result result;
            tolvane::import::ReadHashList(rest, "list", {}, &result);
            break;
        }
    }
    return 0;
}
