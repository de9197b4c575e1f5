// libFuzzer target: the path expressions of a definitions database from
// untrusted bytes. The input's lines are expressions and, after a tab, their
// exclusions (and each is read for the registry key it names); every line
// is then also matched as a path, with the set and expression by
// expression, so that no expression can crash, hang or make the two ways
// disagree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "definitions/path_expressions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> lines;
    for (size_t start = 0; start <= input.size();) {
        size_t end = input.find('\n', start);
        if (end == std::string_view::npos) end = input.size();
        lines.push_back(input.substr(start, end - start));
        start = end + 1;
    }
    tolvane::PathExpressions set, starved(1 << 10);  // the one-by-one match
    std::vector<tolvane::PathExpressions> singles(lines.size());
    std::string why;
    // The starved set's expressions alone have the default budget of one:
    // compared only when each fits in it.
    bool eachFits = true;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        size_t tab = line.find('\t');
        std::string_view expression = line.substr(0, tab);
        std::string_view exclusion = tab == std::string_view::npos ? "" : line.substr(tab + 1);
        (void)tolvane::RegistryExpressionKey(expression);
        bool added = set.Add(expression, exclusion, &why);
        if (added && tolvane::ExpressionError(expression)) eachFits = false;
        if (added != starved.Add(expression, exclusion, &why)) abort();
        if (added != singles[i].Add(expression, exclusion, &why)) abort();
        singles[i].Finish();
    }
    set.Finish();
    starved.Finish();
    for (std::string_view path : lines) {
        int64_t newest = set.FindNewest(path);
        // The newest hit of the set is the newest single expression that hits.
        int64_t expected = -1, number = 0;
        for (size_t i = 0; i < singles.size(); ++i) {
            if (singles[i].Size() == 0) continue;
            if (singles[i].FindNewest(path) == 0) expected = number;
            ++number;
        }
        if (newest != expected) abort();
        if (eachFits && starved.FindNewest(path) != expected) abort();
    }
    return 0;
}
