#include "update/update_signature.h"

#include <gtest/gtest.h>

namespace tolvane {
namespace {

struct KeyPair {
    KeyPair() {
        std::string error;
        EXPECT_TRUE(GenerateUpdateKeyPair(&privatePem, &publicPem, &error)) << error;
    }
    std::string Sign(std::string_view content) const {
        std::string line, pem, error;
        EXPECT_TRUE(SignUpdateContent(privatePem, content, &line, &pem, &error)) << error;
        EXPECT_EQ(pem, publicPem);
        return line;
    }
    std::string privatePem, publicPem;
};

const std::string kText = "tolvane-update 1\nversion: 16\n";

TEST(UpdateSignature, OnlyATrustedKeysSignatureOverTheExactBytesCounts) {
    KeyPair trusted, stranger;
    const std::vector<std::string> keys = {trusted.publicPem};
    const std::string good = ComposeUpdateSignatureFile("", trusted.Sign(kText));
    std::string detail;
    EXPECT_EQ(VerifyUpdateSignature(kText, good, keys, &detail), SignatureVerdict::Valid);
    EXPECT_EQ(detail, "signed by key " + UpdateKeyId(trusted.publicPem));

    std::string changed = kText;
    changed[20] ^= 1;
    EXPECT_EQ(VerifyUpdateSignature(changed, good, keys, &detail), SignatureVerdict::Wrong);
    EXPECT_EQ(VerifyUpdateSignature(kText + "\n", good, keys, &detail), SignatureVerdict::Wrong);

    const std::string foreign = ComposeUpdateSignatureFile("", stranger.Sign(kText));
    EXPECT_EQ(VerifyUpdateSignature(kText, foreign, keys, &detail), SignatureVerdict::UnknownKey);
    EXPECT_NE(detail.find(UpdateKeyId(stranger.publicPem)), std::string::npos) << detail;
    // The stranger's signature under the trusted key's id.
    std::string forged = foreign;
    forged.replace(forged.find(UpdateKeyId(stranger.publicPem)), 16,
                   UpdateKeyId(trusted.publicPem));
    EXPECT_EQ(VerifyUpdateSignature(kText, forged, keys, &detail), SignatureVerdict::Wrong);
    // While a key is replaced a description carries both signatures; either
    // key alone accepts it.
    const std::string both = ComposeUpdateSignatureFile(foreign, trusted.Sign(kText));
    EXPECT_EQ(VerifyUpdateSignature(kText, both, keys, &detail), SignatureVerdict::Valid);
    EXPECT_EQ(VerifyUpdateSignature(kText, both, {stranger.publicPem}, &detail),
              SignatureVerdict::Valid);
    // Signing again with a key replaces its line.
    EXPECT_EQ(ComposeUpdateSignatureFile(both, trusted.Sign(kText)), both);
    EXPECT_EQ(VerifyUpdateSignature(kText, good, {}, &detail), SignatureVerdict::UnknownKey);
}

TEST(UpdateSignature, RefusesWhatIsNoSignatureFile) {
    KeyPair key;
    const std::string line = key.Sign(kText);
    std::vector<UpdateSignature> signatures;
    std::string error;
    ASSERT_TRUE(ParseUpdateSignatureFile("tolvane-signature 1\r\n# made by hand\r\n\r\n" + line,
                                         &signatures, &error))
        << error;
    EXPECT_EQ(signatures.size(), 1u);
    EXPECT_EQ(signatures[0].keyId, UpdateKeyId(key.publicPem));
    EXPECT_EQ(signatures[0].signature.size(), 64u);

    const std::string bad[] = {
        "",
        "tolvane-signature 1\n",
        "<html>Not Found</html>\n" + line,
        "tolvane-signature 2\n" + line,
        "tolvane-signature 1\n" + line.substr(0, line.size() - 3) + "\n",
        "tolvane-signature 1\n" + line.substr(0, 20) + "zz" + line.substr(22),
        "tolvane-signature 1\nrsa " + line.substr(8),
        "tolvane-signature 1\n" + std::string(kMaxUpdateSignatureBytes, '#'),
    };
    for (const std::string& text : bad) {
        EXPECT_FALSE(ParseUpdateSignatureFile(text, &signatures, &error)) << text;
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(VerifyUpdateSignature(kText, text, {key.publicPem}, nullptr),
                  SignatureVerdict::Malformed);
    }
    std::string many = "tolvane-signature 1\n";
    for (size_t i = 0; i <= kMaxUpdateSignatures; ++i) many += line;
    EXPECT_FALSE(ParseUpdateSignatureFile(many, &signatures, &error));
    EXPECT_EQ(error, "line 10: too many signatures");
}

TEST(UpdateSignature, KeysAreEd25519Only) {
    std::string line, pem, error;
    EXPECT_FALSE(SignUpdateContent("not a key", kText, &line, &pem, &error));
    EXPECT_EQ(UpdateKeyId("-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n"), "");
    ASSERT_EQ(BuiltInUpdateKeys().size(), 1u);
    EXPECT_EQ(UpdateKeyId(BuiltInUpdateKeys()[0]), "c3782d345b6f609c");
}

}  // namespace
}  // namespace tolvane
