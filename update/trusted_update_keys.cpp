// The public keys whose signatures make an update description count.
//
// Replacing a key (see update/README.md, "Replacing the signing key"): add
// the new public key here, publish the program with both keys, signed with
// the old one; once that version is out, sign descriptions with both keys
// and, later, with the new one only, and drop the old key here.
//
// A distributor builds with its own keys instead (-DTOLVANE_UPDATE_KEYS,
// update/README.md): the list is then exactly those keys. The key below
// signs nothing anyone publishes; it must be replaced before any real
// publication.
#include "update/update_signature.h"

namespace tolvane {

const std::vector<std::string>& BuiltInUpdateKeys() {
    static const std::vector<std::string> keys = {
#ifdef TOLVANE_CONFIGURED_UPDATE_KEYS
#include TOLVANE_CONFIGURED_UPDATE_KEYS
#else
        // Tolvane update key 1 (key id c3782d345b6f609c), made 9 December 2026.
        "-----BEGIN PUBLIC KEY-----\n"
        "MCowBQYDK2VwAyEAA0um7rlp09DgMgsC/SR4QZg9hj6Tayp9eIHVz1kQzmU=\n"
        "-----END PUBLIC KEY-----\n",
#endif
    };
    return keys;
}

}  // namespace tolvane
