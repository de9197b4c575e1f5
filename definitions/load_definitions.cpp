#include "definitions/load_definitions.h"

#include <cstdint>
#include <cstring>

#include "definitions/markup_parser.h"
#include "definitions/threat_database.h"

namespace tolvane {

namespace {

// One pass without branches: a line feed counts unless a carriage return
// stands before it. The inner loop has a fixed length and a byte-sized sum,
// which the compiler turns into vector instructions; the sum of a block
// cannot overflow its byte.
size_t CountLoneLineFeeds(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    if (size == 0) return 0;
    size_t count = p[0] == '\n';
    size_t i = 1;
    constexpr size_t kBlock = 128;
    for (; i + kBlock <= size; i += kBlock) {
        uint8_t block = 0;
        const unsigned char* at = p + i;
        const unsigned char* before = at - 1;
        for (size_t k = 0; k < kBlock; ++k) block += (at[k] == '\n') & (before[k] != '\r');
        count += block;
    }
    for (; i < size; ++i) count += (p[i] == '\n') & (p[i - 1] != '\r');
    return count;
}

bool ParseAndRead(std::string text, const PlaceholderFolders& folders, ThreatDatabase* database,
                  LoadReport* report) {
    MarkupParser parser;
    if (!parser.Parse(NormalizeLineEnds(std::move(text)))) {
        if (report) *report = LoadReport{LoadError::Parse, parser.ErrorText()};
        return false;
    }
    database->ReadDefinitions(parser, folders);
    if (report) *report = LoadReport{};
    return true;
}

// The rules member goes to libyara only for a vouched database, and only
// after DecodeCompiledRules has checked its frame and size.
std::string AttachRules(std::string_view member, RulesSource source, ThreatDatabase* database) {
    if (member.empty()) {
        if (database->RuleNameCount() == 0) return {};
        return "content rules not loaded: the database carries no compiled rules";
    }
    if (source != RulesSource::Vouched)
        return "content rules not loaded: the database is not the shipped one, a signed "
               "update or your own file";
    YaraRules rules;
    std::string problem;
    if (!DecodeCompiledRules(member, &rules, &problem))
        return "content rules not loaded: " + problem;
    database->AttachCompiledRules(std::move(rules));
    return {};
}

}  // namespace

// The text grows in place, filled from its end: the line ends move once and
// no second buffer is made when the capacity has room (DecodeContainer
// leaves some).
std::string NormalizeLineEnds(std::string text) {
    const size_t lone = CountLoneLineFeeds(text);
    if (lone == 0) return text;
    size_t from = text.size();
    text.resize(from + lone);
    char* data = text.data();
    size_t to = text.size();
    while (from > 0) {
        const void* found = memrchr(data, '\n', from);
        size_t feed = found ? static_cast<size_t>(static_cast<const char*>(found) - data) : 0;
        size_t tail = found ? from - feed - 1 : from;
        to -= tail;
        std::memmove(data + to, data + from - tail, tail);
        from -= tail;
        if (!found) break;
        // data[feed] is the '\n'; its '\r' is added unless one is there.
        data[--to] = '\n';
        from = feed;
        if (feed == 0 || data[feed - 1] != '\r') data[--to] = '\r';
    }
    return text;
}

bool LoadDefinitionsFromText(std::string_view text, const PlaceholderFolders& folders,
                             ThreatDatabase* database, LoadReport* report) {
    return ParseAndRead(std::string(text), folders, database, report);
}

bool LoadDefinitionsFromContainer(std::string_view stored, const PlaceholderFolders& folders,
                                  ThreatDatabase* database, LoadReport* report,
                                  RulesSource rulesSource) {
    std::string text;
    std::string_view rulesMember;
    LoadError error = LoadError::None;
    if (!DecodeContainer(stored, &text, &rulesMember, &error)) {
        if (report) *report = LoadReport{error, {}};
        return false;
    }
    if (!ParseAndRead(std::move(text), folders, database, report)) return false;
    std::string note = AttachRules(rulesMember, rulesSource, database);
    if (report) report->rulesNote = std::move(note);
    return true;
}

}  // namespace tolvane
