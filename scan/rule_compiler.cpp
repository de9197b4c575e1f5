#include "scan/rule_compiler.h"

#include <yara.h>

namespace tolvane {
namespace {

void CollectError(int, const char*, int line, const YR_RULE*, const char* message, void* user) {
    auto* errors = static_cast<std::string*>(user);
    *errors += "line " + std::to_string(line) + ": " + message + "\n";
}

}  // namespace

YaraRules CompileYaraRules(std::string_view source, std::string* errors) {
    std::string ignored;
    if (!errors) errors = &ignored;
    errors->clear();
    if (!EnsureYaraStarted()) {
        *errors = "libyara could not start\n";
        return nullptr;
    }
    YR_COMPILER* compiler = nullptr;
    if (yr_compiler_create(&compiler) != ERROR_SUCCESS) {
        *errors = "no YARA compiler\n";
        return nullptr;
    }
    for (const char* name : {"filename", "filepath", "extension", "filetype", "owner"})
        yr_compiler_define_string_variable(compiler, name, "");
    yr_compiler_set_callback(compiler, &CollectError, errors);
    std::string text(source);
    YR_RULES* rules = nullptr;
    if (yr_compiler_add_string(compiler, text.c_str(), nullptr) == 0)
        yr_compiler_get_rules(compiler, &rules);
    yr_compiler_destroy(compiler);
    return YaraRules(rules);
}

bool SaveYaraRules(YR_RULES* rules, const std::string& path) {
    return rules && yr_rules_save(rules, path.c_str()) == ERROR_SUCCESS;
}

}  // namespace tolvane
