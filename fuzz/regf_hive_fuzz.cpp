// libFuzzer target: regf hive files (a Windows installation's registry) from
// untrusted bytes, through the hive loader and hivex.
//
// Whatever the bytes, loading must not crash: a hive either loads, or it is
// reported by its file with an empty tree. A hive that loads and may be
// changed takes one value and is saved through the commit path; a save that
// succeeds leaves a hive that loads again with the value in it, and one that
// fails leaves the file as it was. Seeds: regf_hive_seeds writes them (no
// hive files are kept in the corpus folder).
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include "machine/hive_tree.h"
#include "machine/windows/regf_hive.h"

namespace {

// The private folder of this process, holding the one hive file; removed
// when the process ends.
struct PrivateFolder {
    std::string path;
    PrivateFolder() {
        char pattern[] = "/tmp/tolvane-regf-fuzz-XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        path = pattern;
    }
    ~PrivateFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

const std::string& Folder() {
    static const PrivateFolder folder;
    return folder.path;
}

std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The key that takes the change: the root's first subkey, else the root.
tolvane::HiveKey& Target(tolvane::HiveTree& tree) {
    tolvane::HiveKey& root = tree.root();
    return root.Subkeys().empty() ? root : *root.Subkeys().front();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string hivePath = Folder() + "/HIVE";
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::filesystem::remove(hivePath + ".tolvane-orig");
    {
        std::ofstream out(hivePath, std::ios::binary | std::ios::trunc);
        out << input;
        if (!out) std::abort();
    }
    int folder = open(Folder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) std::abort();
    tolvane::RegfHiveFile file(folder, "HIVE", hivePath);
    close(folder);

    tolvane::HiveTree tree;
    std::string problem;
    if (!file.Load(&tree, &problem)) {
        if (problem.rfind(hivePath + ": ", 0) != 0) std::abort();  // says which file
        if (!tree.root().Subkeys().empty() || !tree.root().Values().empty()) std::abort();
        if (file.WriteRefusal().empty()) std::abort();  // a damaged hive is never changed
        return 0;
    }
    if (!file.WriteRefusal().empty()) return 0;  // dirty: read as it stands

    tolvane::HiveKey& key = Target(tree);
    // A subkey's name may be empty (a name of NULs reads as ""): it is not
    // the root for that.
    const bool atRoot = &key == &tree.root();
    const std::u16string keyName = key.name;
    key.SetValue(u"Fuzz", 1, std::string("x\0\0\0", 4));
    key.Touch(1);
    std::string error;
    if (!file.Save(&tree, &error)) {
        if (FileBytes(hivePath) != input) std::abort();  // a failed save changes nothing
        return 0;
    }
    tolvane::HiveTree again;
    if (!file.Load(&again, &problem)) std::abort();
    tolvane::HiveKey* reread = atRoot ? &again.root() : again.root().FindSubkey(keyName);
    const tolvane::HiveValue* value = reread ? reread->FindValue(u"Fuzz") : nullptr;
    if (!value || value->data != std::string("x\0\0\0", 4)) std::abort();
    return 0;
}
