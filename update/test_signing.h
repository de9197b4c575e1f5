// Test support: an update signing key made once per test process, and
// signature files made with it. Tests add TestUpdateKey().publicPem to the
// trusted keys of the update service they configure; the program itself
// trusts only its built-in keys.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "update/update_signature.h"

namespace tolvane::testing {

struct TestSigningKey {
    std::string privatePem;
    std::string publicPem;
};

inline TestSigningKey MakeTestSigningKey() {
    TestSigningKey key;
    std::string error;
    EXPECT_TRUE(GenerateUpdateKeyPair(&key.privatePem, &key.publicPem, &error)) << error;
    return key;
}

inline const TestSigningKey& TestUpdateKey() {
    static const TestSigningKey key = MakeTestSigningKey();
    return key;
}

// The signature file of content, signed by key.
inline std::string SignatureFile(std::string_view content,
                                 const TestSigningKey& key = TestUpdateKey()) {
    std::string line, publicPem, error;
    EXPECT_TRUE(SignUpdateContent(key.privatePem, content, &line, &publicPem, &error)) << error;
    return ComposeUpdateSignatureFile("", line);
}

}  // namespace tolvane::testing
