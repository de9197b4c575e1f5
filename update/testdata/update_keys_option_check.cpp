// A build configured with -DTOLVANE_UPDATE_KEYS trusts exactly the keys of
// those files: the built-in key is gone. Exit status 0 when that holds.
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "update/update_signature.h"

int main() {
    std::vector<std::string> expected;
    std::istringstream files(TOLVANE_KEY_FILES);
    for (std::string file; std::getline(files, file, '|');) {
        std::ifstream in(file, std::ios::binary);
        expected.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const std::vector<std::string>& trusted = tolvane::BuiltInUpdateKeys();
    if (trusted != expected) {
        std::cerr << "the trusted keys are not those of TOLVANE_UPDATE_KEYS:\n";
        for (const std::string& key : trusted) std::cerr << key;
        return 1;
    }
    std::cout << "the " << trusted.size() << " configured keys are the trusted ones\n";
    return 0;
}
