// ContentIndicators: what a database knows of threats by their content:
// file digests (MD5, SHA-1, SHA-256) and compiled YARA rules, each tied to
// the definition it belongs to (an index into ThreatDatabase::definitions()).
//
// Threads: filled once while a database loads; after that only const
// members are called, from any number of scan threads at once (libyara's
// compiled rules may be shared by scanners on several threads).
// Errors: none; a digest of the wrong length for its kind is not added.
// yara.h is included by .cpp files only: its error macros (ERROR_SUCCESS
// and others) clash with the Windows error codes of base/win_types.h.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

struct YR_RULES;

namespace tolvane {

enum class DigestKind { Md5, Sha1, Sha256 };

inline constexpr size_t kDigestKinds = 3;

// Raw (not hex) length of a digest of the kind: 16, 20 or 32 bytes.
size_t DigestLength(DigestKind kind);

// The kind a hex digest of this many characters is (32, 40, 64), if any.
std::optional<DigestKind> DigestKindOfHexLength(size_t hexLength);

// The compiled-rules member of a database container (container.h): "TVYR",
// the length of the rules as libyara saves them (four bytes, little-endian,
// at most kCompiledRulesLimit), then those bytes compressed with zlib.
inline constexpr size_t kCompiledRulesLimit = 64u << 20;

// Brings libyara up once for the process (thread-safe; later calls are
// free). False when libyara could not start; content rules are then off.
bool EnsureYaraStarted();

struct YaraRulesFree {
    void operator()(YR_RULES* rules) const;
};
using YaraRules = std::unique_ptr<YR_RULES, YaraRulesFree>;

// The member bytes for compiled rules (libyara's save format, compressed).
// False when libyara cannot save them or they exceed kCompiledRulesLimit.
bool EncodeCompiledRules(YR_RULES* rules, std::string* member);

// Rules from a member made by EncodeCompiledRules. libyara trusts what it
// loads, so the caller hands in only a member of a database this computer
// vouches for (shipped, signed update, or the user's own file); the frame,
// the declared length and the decompressed length are checked before
// libyara sees a byte. False with *problem saying why (for the load note).
bool DecodeCompiledRules(std::string_view member, YaraRules* rules, std::string* problem);
// The frame check and decompression alone: libyara's saved bytes.
bool UnframeCompiledRules(std::string_view member, std::string* saved, std::string* problem);

class ContentIndicators {
  public:
    // `rawDigest` holds DigestLength(kind) bytes. A later digest equal to an
    // earlier one keeps the earlier definition.
    void AddDigest(DigestKind kind, std::string_view rawDigest, size_t definition);
    // The definition of a digest, if one was added.
    std::optional<size_t> FindDigest(DigestKind kind, std::string_view rawDigest) const;
    size_t DigestCount() const;
    // Whether any digest of the kind was added (a scan computes only those).
    bool HasDigests(DigestKind kind) const { return !digests_[static_cast<size_t>(kind)].empty(); }

    // Takes the compiled rules and the definition each rule identifier
    // belongs to. A rule with no entry in the map belongs to no definition
    // and its matches are not listed.
    void SetRules(YaraRules rules, std::unordered_map<std::string, size_t> ruleDefinitions);
    // The compiled rules, or nullptr when the database has none.
    YR_RULES* Rules() const { return rules_.get(); }
    std::optional<size_t> DefinitionOfRule(std::string_view ruleIdentifier) const;
    size_t RuleCount() const { return ruleDefinitions_.size(); }

    bool Empty() const { return DigestCount() == 0 && rules_ == nullptr; }
    void Clear();

  private:
    std::array<std::unordered_map<std::string, size_t>, kDigestKinds> digests_;
    YaraRules rules_;
    std::unordered_map<std::string, size_t> ruleDefinitions_;
};

}  // namespace tolvane
