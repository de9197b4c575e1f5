#include "definitions/content_indicators.h"

#include <yara.h>
#include <zlib.h>

#include <cstring>
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

namespace {

constexpr char kRulesMagic[4] = {'T', 'V', 'Y', 'R'};

struct MemoryStream {
    std::string* out = nullptr;
    std::string_view in;
    size_t at = 0;
};

size_t WriteToString(const void* ptr, size_t size, size_t count, void* user) {
    auto* stream = static_cast<MemoryStream*>(user);
    stream->out->append(static_cast<const char*>(ptr), size * count);
    return count;
}

// libyara asks for whole items; a short read is its sign of a damaged input.
size_t ReadFromView(void* ptr, size_t size, size_t count, void* user) {
    auto* stream = static_cast<MemoryStream*>(user);
    if (size == 0) return 0;
    size_t left = (stream->in.size() - stream->at) / size;
    size_t items = count < left ? count : left;
    std::memcpy(ptr, stream->in.data() + stream->at, items * size);
    stream->at += items * size;
    return items;
}

}  // namespace

bool EncodeCompiledRules(YR_RULES* rules, std::string* member) {
    std::string saved;
    MemoryStream sink{&saved, {}, 0};
    YR_STREAM stream{&sink, nullptr, WriteToString};
    if (yr_rules_save_stream(rules, &stream) != ERROR_SUCCESS) return false;
    if (saved.size() > kCompiledRulesLimit) return false;
    uLongf length = compressBound(static_cast<uLong>(saved.size()));
    std::string out(8 + length, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data() + 8), &length,
                  reinterpret_cast<const Bytef*>(saved.data()), static_cast<uLong>(saved.size()),
                  Z_BEST_COMPRESSION) != Z_OK)
        return false;
    out.resize(8 + length);
    std::memcpy(out.data(), kRulesMagic, 4);
    uint32_t declared = static_cast<uint32_t>(saved.size());
    for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<char>((declared >> (8 * i)) & 0xFF);
    *member = std::move(out);
    return true;
}

bool UnframeCompiledRules(std::string_view member, std::string* saved, std::string* problem) {
    auto fail = [problem](const char* why) {
        *problem = why;
        return false;
    };
    if (member.size() < 8 || std::memcmp(member.data(), kRulesMagic, 4) != 0)
        return fail("the compiled rules are damaged (no rules header)");
    const auto* bytes = reinterpret_cast<const unsigned char*>(member.data());
    uint32_t declared = static_cast<uint32_t>(bytes[4]) | static_cast<uint32_t>(bytes[5]) << 8 |
                        static_cast<uint32_t>(bytes[6]) << 16 |
                        static_cast<uint32_t>(bytes[7]) << 24;
    if (declared == 0 || declared > kCompiledRulesLimit)
        return fail("the compiled rules declare no size or one above 64 MiB");
    saved->assign(declared, '\0');
    uLongf produced = declared;
    uLong consumed = static_cast<uLong>(member.size() - 8);
    if (uncompress2(reinterpret_cast<Bytef*>(saved->data()), &produced, bytes + 8, &consumed) !=
            Z_OK ||
        produced != declared || consumed != member.size() - 8)
        return fail("the compiled rules are damaged (decompression failed)");
    return true;
}

bool DecodeCompiledRules(std::string_view member, YaraRules* rules, std::string* problem) {
    std::string saved;
    if (!UnframeCompiledRules(member, &saved, problem)) return false;
    if (!EnsureYaraStarted()) return (*problem = "the YARA engine could not start"), false;
    MemoryStream source{nullptr, saved, 0};
    YR_STREAM stream{&source, ReadFromView, nullptr};
    YR_RULES* loaded = nullptr;
    if (yr_rules_load_stream(&stream, &loaded) != ERROR_SUCCESS || loaded == nullptr)
        return (*problem = "the compiled rules are damaged (YARA refused them)"), false;
    rules->reset(loaded);
    return true;
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
