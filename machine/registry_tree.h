// Deleting a registry key with everything below it.
#pragma once

#include <string_view>

#include "machine/registry.h"

namespace tolvane {

// Deletes parent\path with all its subkeys, deepest first, and returns the
// registry's result code (ERROR_SUCCESS when the key is gone). A subkey that
// cannot be deleted stops the walk: that key and every key above it stay as
// they are. An empty path is refused (ERROR_INVALID_PARAMETER); keys nested
// deeper than 512 levels are refused (ERROR_ACCESS_DENIED) rather than walked.
long DeleteRegistryTree(Registry& registry, const RegKey& parent, std::string_view path);

}  // namespace tolvane
