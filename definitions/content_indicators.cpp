#include "definitions/content_indicators.h"

#include <yara.h>

#include <mutex>

namespace tolvane {

size_t DigestLength(DigestKind kind) {
    switch (kind) {
        case DigestKind::Md5:
            return 16;
        case DigestKind::Sha1:
            return 20;
        case DigestKind::Sha256:
            return 32;
    }
    return 0;
}

std::optional<DigestKind> DigestKindOfHexLength(size_t hexLength) {
    switch (hexLength) {
        case 32:
            return DigestKind::Md5;
        case 40:
            return DigestKind::Sha1;
        case 64:
            return DigestKind::Sha256;
        default:
            return std::nullopt;
    }
}

bool EnsureYaraStarted() {
    // libyara keeps process-wide tables; it is started once and never
    // finalized, since scanners on other threads may still hold rules.
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] { started = yr_initialize() == ERROR_SUCCESS; });
    return started;
}

void YaraRulesFree::operator()(YR_RULES* rules) const {
    if (rules != nullptr) yr_rules_destroy(rules);
}

void ContentIndicators::AddDigest(DigestKind kind, std::string_view rawDigest, size_t definition) {
    if (rawDigest.size() != DigestLength(kind)) return;
    digests_[static_cast<size_t>(kind)].emplace(std::string(rawDigest), definition);
}

std::optional<size_t> ContentIndicators::FindDigest(DigestKind kind,
                                                    std::string_view rawDigest) const {
    const auto& map = digests_[static_cast<size_t>(kind)];
    auto found = map.find(std::string(rawDigest));
    if (found == map.end()) return std::nullopt;
    return found->second;
}

size_t ContentIndicators::DigestCount() const {
    size_t count = 0;
    for (const auto& map : digests_) count += map.size();
    return count;
}

void ContentIndicators::SetRules(YaraRules rules,
                                 std::unordered_map<std::string, size_t> ruleDefinitions) {
    rules_ = std::move(rules);
    ruleDefinitions_ = std::move(ruleDefinitions);
}

std::optional<size_t> ContentIndicators::DefinitionOfRule(std::string_view ruleIdentifier) const {
    auto found = ruleDefinitions_.find(std::string(ruleIdentifier));
    if (found == ruleDefinitions_.end()) return std::nullopt;
    return found->second;
}

void ContentIndicators::Clear() {
    for (auto& map : digests_) map.clear();
    rules_.reset();
    ruleDefinitions_.clear();
}

}  // namespace tolvane
