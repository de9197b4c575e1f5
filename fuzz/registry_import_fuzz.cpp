// libFuzzer target: the registry text importer (what restore and
// `tolvane-reg import` run) from untrusted bytes, into the registry of a
// temporary prefix whose hive files are put back before every input.
//
// Whatever the text, importing must not crash, must leave hive files Wine
// can read (they load again without problems) and must not write anything
// outside the prefix's registry files.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>

#include "fuzz/fuzz_machine.h"
#include "machine/registry.h"
#include "machine/wine/prefix_hive_set.h"
#include "regfile/registry_import.h"

namespace {

const char* const kHiveFiles[] = {"system.reg", "user.reg", "userdef.reg"};

std::string ReadHost(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteHost(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto& fuzz = tolvane::fuzzing::Prefix();
    auto& prefix = fuzz.prefix();
    static const std::map<std::string, std::string> pristine = [&] {
        std::map<std::string, std::string> files;
        for (const char* name : kHiveFiles) files[name] = ReadHost(prefix.Host(name));
        return files;
    }();
    for (const auto& [name, content] : pristine) WriteHost(prefix.Host(name), content);
    static const std::set<std::string> before = tolvane::fuzzing::TreeOf(prefix.path());

    std::string_view text(reinterpret_cast<const char*>(data), size);
    {
        tolvane::Registry registry(tolvane::MakePrefixHiveSet(prefix.path()));
        tolvane::RegistryImportReport report;
        bool imported = tolvane::ImportRegistryText(registry, text, &report);
        if (!imported && (report.keys || report.values)) std::abort();  // refused means untouched
    }
    // What was saved loads again cleanly.
    tolvane::Registry reloaded(tolvane::MakePrefixHiveSet(prefix.path()));
    if (!reloaded.LoadProblems().empty()) std::abort();
    fuzz.CheckContained(before, prefix.path() + "/nothing-new");
    return 0;
}
