#include "definitions/load_definitions.h"

#include "definitions/markup_parser.h"
#include "definitions/threat_database.h"

namespace tolvane {

namespace {

bool HasLoneLineFeed(std::string_view text) {
    for (size_t feed = text.find('\n'); feed != std::string_view::npos;
         feed = text.find('\n', feed + 1))
        if (feed == 0 || text[feed - 1] != '\r') return true;
    return false;
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

}  // namespace

std::string NormalizeLineEnds(std::string text) {
    if (!HasLoneLineFeed(text)) return text;
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    std::string_view rest = text;
    size_t pos = 0;
    while (pos < rest.size()) {
        size_t feed = rest.find('\n', pos);
        if (feed == std::string_view::npos) {
            out.append(rest.substr(pos));
            break;
        }
        out.append(rest.substr(pos, feed - pos));
        if (feed == 0 || rest[feed - 1] != '\r') out += '\r';
        out += '\n';
        pos = feed + 1;
    }
    return out;
}

bool LoadDefinitionsFromText(std::string_view text, const PlaceholderFolders& folders,
                             ThreatDatabase* database, LoadReport* report) {
    return ParseAndRead(std::string(text), folders, database, report);
}

bool LoadDefinitionsFromContainer(std::string_view stored, const PlaceholderFolders& folders,
                                  ThreatDatabase* database, LoadReport* report) {
    std::string text;
    LoadError error = LoadError::None;
    if (!DecodeContainer(stored, &text, &error)) {
        if (report) *report = LoadReport{error, {}};
        return false;
    }
    return ParseAndRead(std::move(text), folders, database, report);
}

}  // namespace tolvane
