// Test support: real regf hive files made on disk. hivex cannot make a hive
// from nothing, so WriteEmptyRegf writes the smallest hive Windows would
// accept (base block, one bin, the root key and its security cell); hivex
// then fills it (RegfBuilder). Failures throw (test support only: gtest
// reports them).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tolvane::testing {

// Writes an empty hive (a root key without subkeys or values) to path.
void WriteEmptyRegf(const std::string& path);

// Sets the two sequence numbers of a hive's base block (equal: closed
// cleanly; different: an unfinished change) and mends its checksum.
void SetRegfSequenceNumbers(const std::string& path, uint32_t primary, uint32_t secondary);

// Adds keys and values to a hive file through hivex; Commit writes it back.
// Key paths are backslash-separated below the hive's root, made as needed.
class RegfBuilder {
  public:
    // Starts from the hive at path, or from an empty one when it is missing.
    explicit RegfBuilder(const std::string& path);
    ~RegfBuilder();
    RegfBuilder(const RegfBuilder&) = delete;
    RegfBuilder& operator=(const RegfBuilder&) = delete;

    RegfBuilder& Key(std::string_view path);
    // A REG_SZ (REG_EXPAND_SZ with expand) value; text is ASCII or UTF-8.
    RegfBuilder& String(std::string_view path, std::string_view name, std::string_view text,
                        bool expand = false);
    RegfBuilder& Dword(std::string_view path, std::string_view name, uint32_t value);
    RegfBuilder& Raw(std::string_view path, std::string_view name, uint32_t type,
                     std::string_view data);
    void Commit();

  private:
    size_t Node(std::string_view path);
    std::string path_;
    void* hive_ = nullptr;
};

}  // namespace tolvane::testing
