#include "definitions/load_definitions.h"

#include "definitions/markup_parser.h"
#include "definitions/threat_database.h"

namespace tolvane {

std::string NormalizeLineEnds(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    char previous = '\0';
    for (char c : text) {
        if (c == '\n' && previous != '\r') out += '\r';
        out += c;
        previous = c;
    }
    return out;
}

bool LoadDefinitionsFromText(std::string_view text, const PlaceholderFolders& folders,
                             ThreatDatabase* database, LoadReport* report) {
    MarkupParser parser;
    if (!parser.Parse(NormalizeLineEnds(text))) {
        if (report) *report = LoadReport{LoadError::Parse, parser.ErrorText()};
        return false;
    }
    database->ReadDefinitions(parser, folders);
    if (report) *report = LoadReport{};
    return true;
}

bool LoadDefinitionsFromContainer(std::string_view stored, const PlaceholderFolders& folders,
                                  ThreatDatabase* database, LoadReport* report) {
    std::string text;
    LoadError error = LoadError::None;
    if (!DecodeContainer(stored, &text, &error)) {
        if (report) *report = LoadReport{error, {}};
        return false;
    }
    return LoadDefinitionsFromText(text, folders, database, report);
}

}  // namespace tolvane
