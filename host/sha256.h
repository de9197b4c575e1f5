// SHA-256 of data fed in pieces (OpenSSL's libcrypto), as lower-case hex.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace tolvane {

class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(std::string_view data);
    // The digest of everything fed so far, 64 lower-case hex digits; the
    // object starts afresh afterwards. "" if the library failed.
    std::string FinishHex();

  private:
    struct Context;
    std::unique_ptr<Context> context_;
};

std::string Sha256Hex(std::string_view data);

}  // namespace tolvane
