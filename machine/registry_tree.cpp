#include "machine/registry_tree.h"

#include <string>

namespace tolvane {
namespace {

constexpr int kMaxDepth = 512;

long DeleteTree(Registry& registry, const RegKey& parent, std::string_view path, int depth) {
    if (depth > kMaxDepth) return ERROR_ACCESS_DENIED;
    RegKey key;
    long rc = registry.OpenKey(parent, path, 0, &key);
    if (rc != ERROR_SUCCESS) return rc;
    // Always the first subkey: each one deleted moves the next into its place.
    for (;;) {
        std::string name;
        rc = registry.EnumKey(key, 0, &name);
        if (rc != ERROR_SUCCESS) break;
        rc = DeleteTree(registry, key, name, depth + 1);
        if (rc != ERROR_SUCCESS) break;
    }
    if (rc == ERROR_NO_MORE_ITEMS || rc == ERROR_BADKEY) rc = registry.DeleteKey(parent, path);
    registry.CloseKey(key);
    return rc;
}

}  // namespace

long DeleteRegistryTree(Registry& registry, const RegKey& parent, std::string_view path) {
    // An empty path would name the parent itself, a root among others.
    if (path.empty()) return ERROR_INVALID_PARAMETER;
    return DeleteTree(registry, parent, path, 0);
}

}  // namespace tolvane
