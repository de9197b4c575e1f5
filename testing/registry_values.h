// Test support: setting up and checking registry keys and values in a test's
// machine. The setters fail the running test (gtest assertions) when the
// registry refuses; the checks open for reading only.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

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

}  // namespace tolvane::testing
