// tolvane-db keygen, sign and verify: the update server's signing key and
// the signature files beside update descriptions (update/README.md).
#pragma once

#include <string>
#include <vector>

namespace tolvane {

// Each takes the arguments after its command word and returns the tool's
// exit code: 0 done, 1 failed (a file, a key, a signature), 2 bad usage.
int KeyGen(const std::vector<std::string>& args);
int Sign(const std::vector<std::string>& args);
int Verify(const std::vector<std::string>& args);

}  // namespace tolvane
