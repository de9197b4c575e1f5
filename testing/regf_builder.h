// Test support: real regf hive files made on disk. hivex cannot make a hive
// from nothing, so WriteEmptyRegf writes the smallest hive Windows would
// accept (base block, one bin, the root key and its security cell); hivex
// then fills it (RegfBuilder). Failures throw (test support only: gtest
// reports them).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane::testing {

// Writes an empty hive (a root key without subkeys or values) to path.
void WriteEmptyRegf(const std::string& path);

// Sets the two sequence numbers of a hive's base block (equal: closed
// cleanly; different: an unfinished change) and mends its checksum.
void SetRegfSequenceNumbers(const std::string& path, uint32_t primary, uint32_t secondary);

// A key of a hive described in memory, for hives too big to build through
// hivex (which appends a new subkey list for every key it adds, so that wide
// keys leave the file mostly free cells).
struct RegfTreeValue {
    std::string name;  // ASCII; "" is the default value
    uint32_t type = 0;
    std::string data;  // as stored (REG_SZ: UTF-16LE with its zero)
};
struct RegfTreeKey {
    std::string name;  // ASCII
    std::vector<RegfTreeValue> values;
    std::vector<RegfTreeKey> subkeys;
    // The subkey named so (without regard to case), added when missing.
    RegfTreeKey& Child(std::string_view childName);
};

// Reads a whole hive through hivex.
RegfTreeKey ReadRegfTree(const std::string& path);
// Writes tree as a compact hive, the way Windows lays one out: 4 KiB bins,
// subkeys in "lh" lists sorted by their upper-case names, one security cell
// shared by every key, no free cells but the tail of each bin.
void WriteRegfTree(const std::string& path, const RegfTreeKey& root);
// UTF-16LE with its zero, as REG_SZ data is stored (ASCII or BMP UTF-8 in).
std::string RegfString(std::string_view text);

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
