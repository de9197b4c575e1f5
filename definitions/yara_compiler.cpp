#include "definitions/yara_compiler.h"

#include <yara.h>

namespace tolvane {
namespace {

void CollectError(int level, const char*, int line, const YR_RULE*, const char* message,
                  void* user) {
    if (level != YARA_ERROR_LEVEL_ERROR) return;
    auto* errors = static_cast<std::string*>(user);
    *errors += "line " + std::to_string(line) + ": " + message + "\n";
}

const char* RefuseInclude(const char*, const char*, const char*, void*) {
    return nullptr;
}

}  // namespace

bool CompileYaraRules(std::string_view source, YaraRules* rules, std::string* errors) {
    errors->clear();
    if (!EnsureYaraStarted()) return (*errors = "the YARA engine could not start"), false;
    YR_COMPILER* compiler = nullptr;
    if (yr_compiler_create(&compiler) != ERROR_SUCCESS)
        return (*errors = "the YARA compiler could not start"), false;
    yr_compiler_set_callback(compiler, CollectError, errors);
    yr_compiler_set_include_callback(compiler, RefuseInclude, nullptr, nullptr);
    for (const char* name : kYaraExternals) yr_compiler_define_string_variable(compiler, name, "");
    // libyara reads a NUL-terminated copy.
    std::string text(source);
    bool ok = yr_compiler_add_string(compiler, text.c_str(), nullptr) == 0;
    YR_RULES* compiled = nullptr;
    if (ok) ok = yr_compiler_get_rules(compiler, &compiled) == ERROR_SUCCESS;
    yr_compiler_destroy(compiler);
    if (!ok) {
        if (errors->empty()) *errors = "the rules did not compile";
        return false;
    }
    rules->reset(compiled);
    return true;
}

bool SaveYaraRules(YR_RULES* rules, const std::string& path) {
    return rules && yr_rules_save(rules, path.c_str()) == ERROR_SUCCESS;
}

}  // namespace tolvane
