// Test support: setting up and checking registry keys and values in a test's
// machine. The setters fail the running test (gtest assertions) when the
// registry refuses; the checks open for reading only, and the listings check
// that the enumeration ends as it must.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "machine/registry.h"

namespace tolvane::testing {

// Creates root\path with its parents (an existing key is kept).
inline void MakeRegistryKey(Registry& registry, RootKey root, const std::string& path) {
    RegKey key;
    ASSERT_EQ(registry.CreateKey(Registry::Root(root), path, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
}

// Creates root\path as needed and sets the value `name` there.
inline void SetRegistryValue(Registry& registry, RootKey root, const std::string& path,
                             const std::string& name, uint32_t type, const std::string& data) {
    RegKey key;
    ASSERT_EQ(registry.CreateKey(Registry::Root(root), path, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    ASSERT_EQ(registry.SetValue(key, name, type, data), ERROR_SUCCESS);
}

// The same for a REG_SZ.
inline void SetRegistryString(Registry& registry, RootKey root, const std::string& path,
                              const std::string& name, const std::string& text) {
    SetRegistryValue(registry, root, path, name, REG_SZ, text);
}

inline bool RegistryKeyExists(const Registry& registry, RootKey root, const std::string& path) {
    RegKey key;
    return registry.OpenKey(Registry::Root(root), path, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS;
}

inline bool RegistryValueExists(const Registry& registry, RootKey root, const std::string& path,
                                const std::string& name) {
    RegKey key;
    std::string data;
    return registry.OpenKey(Registry::Root(root), path, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS &&
           registry.QueryValue(key, name, nullptr, &data) == ERROR_SUCCESS;
}

// Creates root\path with its parents and returns it open for all access; an
// empty key (and a failed check of the running test) when the registry
// refuses.
inline RegKey CreateRegistryKey(Registry& registry, RootKey root, std::string_view path) {
    RegKey key;
    EXPECT_EQ(registry.CreateKey(Registry::Root(root), path, KEY_ALL_ACCESS, &key), ERROR_SUCCESS)
        << path << ": " << registry.LastErrorMessage();
    return key;
}

// Opens root\path; an empty key (and a failed check) when it cannot.
inline RegKey OpenRegistryKey(const Registry& registry, RootKey root, std::string_view path,
                              uint32_t access = KEY_ALL_ACCESS) {
    RegKey key;
    EXPECT_EQ(registry.OpenKey(Registry::Root(root), path, access, &key), ERROR_SUCCESS) << path;
    return key;
}

// The type and data of the value `name` of root\path; false when the key or
// the value is missing.
inline bool QueryRegistryValue(const Registry& registry, RootKey root, const std::string& path,
                               const std::string& name, uint32_t* type, std::string* data) {
    RegKey key;
    return registry.OpenKey(Registry::Root(root), path, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS &&
           registry.QueryValue(key, name, type, data) == ERROR_SUCCESS;
}

// The data of the value `name` of an open key, or "<error N>" with the
// registry's answer: a check compares one text either way.
inline std::string RegistryValueData(const Registry& registry, const RegKey& key,
                                     std::string_view name, uint32_t* type = nullptr) {
    std::string data;
    uint32_t t = 0;
    long rc = registry.QueryValue(key, name, &t, &data);
    if (type) *type = t;
    return rc == ERROR_SUCCESS ? data : "<error " + std::to_string(rc) + ">";
}

// The names of an open key's subkeys in the registry's order; checks that
// the enumeration ends with ERROR_NO_MORE_ITEMS.
inline std::vector<std::string> SubkeyNames(const Registry& registry, const RegKey& key) {
    std::vector<std::string> names;
    std::string name;
    uint32_t i = 0;
    for (; registry.EnumKey(key, i, &name) == ERROR_SUCCESS; ++i) names.push_back(name);
    EXPECT_EQ(registry.EnumKey(key, i, &name), ERROR_NO_MORE_ITEMS);
    return names;
}

// The names of an open key's values in the registry's order; checks that the
// enumeration ends with ERROR_NO_MORE_ITEMS.
inline std::vector<std::string> ValueNames(const Registry& registry, const RegKey& key) {
    std::vector<std::string> names;
    std::string name;
    uint32_t i = 0;
    for (; registry.EnumValue(key, i, &name, nullptr, nullptr) == ERROR_SUCCESS; ++i)
        names.push_back(name);
    EXPECT_EQ(registry.EnumValue(key, i, &name, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    return names;
}

// The names of the subkeys of root\path; none when it cannot be opened.
inline std::vector<std::string> RegistrySubkeys(const Registry& registry, RootKey root,
                                                const std::string& path) {
    RegKey key;
    if (registry.OpenKey(Registry::Root(root), path, KEY_READ, &key) != ERROR_SUCCESS) return {};
    return SubkeyNames(registry, key);
}

}  // namespace tolvane::testing
