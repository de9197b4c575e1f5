#include "testing/regf_builder.h"

#include <hivex.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

#include "testing/little_endian.h"

namespace tolvane::testing {
namespace {

uint32_t Get32(const std::string& b, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[at + i]);
    return v;
}

// The base block's checksum: the XOR of its first 127 double words.
void MendChecksum(std::string& hive) {
    uint32_t sum = 0;
    for (size_t at = 0; at < 508; at += 4) sum ^= Get32(hive, at);
    Set32(hive, 508, sum);
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + path);
}

// UTF-16LE of ASCII or UTF-8 text (test data: the BMP only), with its zero.
std::string Utf16Z(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        char32_t code = c;
        int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : 2;
        if (extra) code = c & (extra == 1 ? 0x1F : 0x0F);
        for (int k = 1; k <= extra && i + k < text.size(); ++k)
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += extra + 1;
        out.push_back(static_cast<char>(code & 0xFF));
        out.push_back(static_cast<char>(code >> 8));
    }
    out.append(2, '\0');
    return out;
}

// ASCII names hash and sort by ASCII upper case; 1252's would differ on Latin-1 names.
std::string Upper(std::string_view name) {
    std::string upper(name);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

// Lays out the cells of a hive's bins in one buffer; offsets count from the
// first bin, as the hive's own do.
class CompactHiveWriter {
  public:
    static constexpr uint32_t kNone = 0xFFFFFFFF;

    std::string Write(const RegfTreeKey& root) {
        sk_ = Alloc(44);
        std::memcpy(&bins_[sk_ + 4], "sk", 2);
        Set32(bins_, sk_ + 8, sk_);  // the only security cell: its own neighbour
        Set32(bins_, sk_ + 12, sk_);
        Set32(bins_, sk_ + 20, 20);
        bins_[sk_ + 24] = 1;  // self-relative descriptor, no DACL restrictions
        Set16(bins_, sk_ + 26, 0x8004);
        uint32_t rootOffset = WriteKey(root, kNone, 0x2C);
        Set32(bins_, sk_ + 16, keys_);
        CloseBin();
        std::string hive(0x1000, '\0');
        std::memcpy(&hive[0], "regf", 4);
        Set32(hive, 4, 1);  // sequence numbers: closed cleanly
        Set32(hive, 8, 1);
        Set32(hive, 20, 1);  // format version 1.5: "lh" lists
        Set32(hive, 24, 5);
        Set32(hive, 32, 1);
        Set32(hive, 36, rootOffset);
        Set32(hive, 40, static_cast<uint32_t>(bins_.size()));
        Set32(hive, 44, 1);
        MendChecksum(hive);
        return hive + bins_;
    }

  private:
    // A cell of at least size bytes (its length field included), zeroed.
    uint32_t Alloc(size_t content) {
        size_t size = (content + 4 + 7) & ~size_t{7};
        if (bins_.size() - used_ < size) {
            CloseBin();
            size_t binSize = std::max<size_t>(0x1000, (size + 32 + 0xFFF) & ~size_t{0xFFF});
            size_t binStart = bins_.size();
            bins_.resize(binStart + binSize, '\0');
            std::memcpy(&bins_[binStart], "hbin", 4);
            Set32(bins_, binStart + 4, static_cast<uint32_t>(binStart));
            Set32(bins_, binStart + 8, static_cast<uint32_t>(binSize));
            used_ = binStart + 32;
        }
        uint32_t at = static_cast<uint32_t>(used_);
        Set32(bins_, at, static_cast<uint32_t>(-static_cast<int32_t>(size)));
        used_ += size;
        return at;
    }
    // The rest of the current bin becomes one free cell.
    void CloseBin() {
        if (used_ < bins_.size()) Set32(bins_, used_, static_cast<uint32_t>(bins_.size() - used_));
        used_ = bins_.size();
    }

    uint32_t WriteValue(const RegfTreeValue& value) {
        uint32_t vk = Alloc(20 + value.name.size());
        std::memcpy(&bins_[vk + 4], "vk", 2);
        Set16(bins_, vk + 6, static_cast<uint16_t>(value.name.size()));
        uint32_t size = static_cast<uint32_t>(value.data.size());
        if (size <= 4) {
            Set32(bins_, vk + 8, size | 0x80000000u);  // the data stands in the offset field
            std::memcpy(&bins_[vk + 12], value.data.data(), size);
        } else {
            uint32_t data = Alloc(size);
            std::memcpy(&bins_[data + 4], value.data.data(), size);
            Set32(bins_, vk + 8, size);
            Set32(bins_, vk + 12, data);
        }
        Set32(bins_, vk + 16, value.type);
        Set16(bins_, vk + 20, value.name.empty() ? 0 : 1);  // ASCII name
        std::memcpy(&bins_[vk + 24], value.name.data(), value.name.size());
        return vk;
    }

    void WriteValues(const RegfTreeKey& key, uint32_t nk) {
        if (key.values.empty()) {
            Set32(bins_, nk + 44, kNone);
            return;
        }
        std::vector<uint32_t> cells;
        uint32_t longestName = 0, longestData = 0;
        for (const RegfTreeValue& value : key.values) {
            cells.push_back(WriteValue(value));
            longestName = std::max(longestName, static_cast<uint32_t>(value.name.size() * 2));
            longestData = std::max(longestData, static_cast<uint32_t>(value.data.size()));
        }
        uint32_t list = Alloc(4 * cells.size());
        for (size_t i = 0; i < cells.size(); ++i) Set32(bins_, list + 4 + 4 * i, cells[i]);
        Set32(bins_, nk + 40, static_cast<uint32_t>(cells.size()));
        Set32(bins_, nk + 44, list);
        Set32(bins_, nk + 64, longestName);
        Set32(bins_, nk + 68, longestData);
    }

    void WriteSubkeys(const RegfTreeKey& key, uint32_t nk) {
        if (key.subkeys.empty()) {
            Set32(bins_, nk + 32, kNone);
            return;
        }
        std::vector<std::pair<std::string, const RegfTreeKey*>> sorted;
        for (const RegfTreeKey& child : key.subkeys) sorted.emplace_back(Upper(child.name), &child);
        std::sort(sorted.begin(), sorted.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<std::pair<uint32_t, uint32_t>> entries;  // cell and name hash
        uint32_t longestName = 0;
        for (const auto& [upper, child] : sorted) {
            uint32_t hash = 0;
            for (char c : upper) hash = hash * 37 + static_cast<unsigned char>(c);
            entries.emplace_back(WriteKey(*child, nk, 0x20), hash);
            longestName = std::max(longestName, static_cast<uint32_t>(upper.size() * 2));
        }
        uint32_t list = Alloc(4 + 8 * entries.size());
        std::memcpy(&bins_[list + 4], "lh", 2);
        Set16(bins_, list + 6, static_cast<uint16_t>(entries.size()));
        for (size_t i = 0; i < entries.size(); ++i) {
            Set32(bins_, list + 8 + 8 * i, entries[i].first);
            Set32(bins_, list + 12 + 8 * i, entries[i].second);
        }
        Set32(bins_, nk + 24, static_cast<uint32_t>(entries.size()));
        Set32(bins_, nk + 32, list);
        Set32(bins_, nk + 56, longestName);
    }

    uint32_t WriteKey(const RegfTreeKey& key, uint32_t parent, uint16_t flags) {
        if (key.subkeys.size() > 0xFFFF) throw std::runtime_error("too many subkeys: " + key.name);
        ++keys_;
        uint32_t nk = Alloc(76 + key.name.size());
        std::memcpy(&bins_[nk + 4], "nk", 2);
        Set16(bins_, nk + 6, flags);  // 0x20: ASCII name
        Set32(bins_, nk + 20, parent);
        Set32(bins_, nk + 36, kNone);  // no volatile subkeys
        Set32(bins_, nk + 48, sk_);
        Set32(bins_, nk + 52, kNone);  // no class name
        Set16(bins_, nk + 76, static_cast<uint16_t>(key.name.size()));
        std::memcpy(&bins_[nk + 80], key.name.data(), key.name.size());
        WriteValues(key, nk);
        WriteSubkeys(key, nk);
        return nk;
    }

    std::string bins_;
    size_t used_ = 0;
    uint32_t sk_ = 0;
    uint32_t keys_ = 0;
};

void ReadNode(hive_h* h, hive_node_h node, RegfTreeKey* key) {
    if (char* name = hivex_node_name(h, node)) {
        key->name = name;
        free(name);
    }
    if (hive_value_h* values = hivex_node_values(h, node)) {
        for (size_t i = 0; values[i]; ++i) {
            RegfTreeValue value;
            char* name = hivex_value_key(h, values[i]);
            hive_type type{};
            size_t length = 0;
            char* data = hivex_value_value(h, values[i], &type, &length);
            if (!name || !data) throw std::runtime_error("hivex cannot read a value");
            value.name = name;
            std::memcpy(&value.type, &type, sizeof value.type);  // any number, not an enumerator
            value.data.assign(data, length);
            free(name);
            free(data);
            key->values.push_back(std::move(value));
        }
        free(values);
    }
    if (hive_node_h* children = hivex_node_children(h, node)) {
        for (size_t i = 0; children[i]; ++i) ReadNode(h, children[i], &key->subkeys.emplace_back());
        free(children);
    }
}

}  // namespace

RegfTreeKey& RegfTreeKey::Child(std::string_view childName) {
    std::string wanted = Upper(childName);
    for (RegfTreeKey& child : subkeys)
        if (Upper(child.name) == wanted) return child;
    RegfTreeKey& added = subkeys.emplace_back();
    added.name = childName;
    return added;
}

RegfTreeKey ReadRegfTree(const std::string& path) {
    hive_h* h = hivex_open(path.c_str(), 0);
    if (!h) throw std::runtime_error("hivex cannot open " + path);
    RegfTreeKey root;
    ReadNode(h, hivex_root(h), &root);
    hivex_close(h);
    return root;
}

void WriteRegfTree(const std::string& path, const RegfTreeKey& root) {
    WriteAll(path, CompactHiveWriter().Write(root));
}

std::string RegfString(std::string_view text) {
    return Utf16Z(text);
}

void WriteEmptyRegf(const std::string& path) {
    constexpr size_t kBin = 0x1000, kRoot = 0x20, kSk = 0x78, kFree = 0xA8;
    std::string hive(0x2000, '\0');
    std::memcpy(&hive[0], "regf", 4);
    Set32(hive, 4, 1);  // sequence numbers: closed cleanly
    Set32(hive, 8, 1);
    Set32(hive, 20, 1);  // format version 1.3
    Set32(hive, 24, 3);
    Set32(hive, 32, 1);
    Set32(hive, 36, kRoot);
    Set32(hive, 40, 0x1000);  // size of the bins
    Set32(hive, 44, 1);
    MendChecksum(hive);

    std::memcpy(&hive[kBin], "hbin", 4);
    Set32(hive, kBin + 8, 0x1000);
    size_t nk = kBin + kRoot;
    Set32(hive, nk, static_cast<uint32_t>(-88));
    std::memcpy(&hive[nk + 4], "nk", 2);
    Set16(hive, nk + 6, 0x2C);         // hive entry, no delete, ASCII name
    Set32(hive, nk + 32, 0xFFFFFFFF);  // no subkey lists
    Set32(hive, nk + 36, 0xFFFFFFFF);
    Set32(hive, nk + 44, 0xFFFFFFFF);  // no value list
    Set32(hive, nk + 48, kSk);
    Set32(hive, nk + 52, 0xFFFFFFFF);  // no class name
    Set16(hive, nk + 76, 4);
    std::memcpy(&hive[nk + 80], "ROOT", 4);
    size_t sk = kBin + kSk;
    Set32(hive, sk, static_cast<uint32_t>(-48));
    std::memcpy(&hive[sk + 4], "sk", 2);
    Set32(hive, sk + 8, kSk);  // the only security cell: its own neighbour
    Set32(hive, sk + 12, kSk);
    Set32(hive, sk + 16, 1);
    Set32(hive, sk + 20, 20);
    hive[sk + 24] = 1;  // self-relative descriptor, no DACL restrictions
    Set16(hive, sk + 26, 0x8004);
    Set32(hive, kBin + kFree, 0x1000 - kFree);
    WriteAll(path, hive);
}

void SetRegfSequenceNumbers(const std::string& path, uint32_t primary, uint32_t secondary) {
    std::string hive = ReadAll(path);
    if (hive.size() < 512) throw std::runtime_error(path + " is no hive");
    Set32(hive, 4, primary);
    Set32(hive, 8, secondary);
    MendChecksum(hive);
    WriteAll(path, hive);
}

RegfBuilder::RegfBuilder(const std::string& path) : path_(path) {
    if (!std::filesystem::exists(path)) WriteEmptyRegf(path);
    hive_ = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
    if (!hive_) throw std::runtime_error("hivex cannot open " + path);
}

RegfBuilder::~RegfBuilder() {
    if (hive_) hivex_close(static_cast<hive_h*>(hive_));
}

size_t RegfBuilder::Node(std::string_view path) {
    auto* h = static_cast<hive_h*>(hive_);
    hive_node_h node = hivex_root(h);
    size_t pos = 0;
    while (pos < path.size()) {
        size_t end = path.find('\\', pos);
        if (end == std::string_view::npos) end = path.size();
        std::string name(path.substr(pos, end - pos));
        pos = end + 1;
        if (name.empty()) continue;
        hive_node_h child = hivex_node_get_child(h, node, name.c_str());
        if (!child) child = hivex_node_add_child(h, node, name.c_str());
        if (!child) throw std::runtime_error("hivex cannot add key " + name);
        node = child;
    }
    return node;
}

RegfBuilder& RegfBuilder::Key(std::string_view path) {
    Node(path);
    return *this;
}

RegfBuilder& RegfBuilder::String(std::string_view path, std::string_view name,
                                 std::string_view text, bool expand) {
    return Raw(path, name, expand ? hive_t_REG_EXPAND_SZ : hive_t_REG_SZ, Utf16Z(text));
}

RegfBuilder& RegfBuilder::Dword(std::string_view path, std::string_view name, uint32_t value) {
    std::string data(4, '\0');
    Set32(data, 0, value);
    return Raw(path, name, hive_t_REG_DWORD, data);
}

RegfBuilder& RegfBuilder::Raw(std::string_view path, std::string_view name, uint32_t type,
                              std::string_view data) {
    std::string key(name);
    std::string bytes(data);
    hive_set_value value{key.data(), {}, bytes.size(), bytes.data()};
    // Registry types are any 32-bit number, beyond hivex's enumerators.
    static_assert(sizeof value.t == sizeof type);
    std::memcpy(&value.t, &type, sizeof type);
    if (hivex_node_set_value(static_cast<hive_h*>(hive_), Node(path), &value, 0) != 0)
        throw std::runtime_error("hivex cannot set " + key);
    return *this;
}

void RegfBuilder::Commit() {
    if (hivex_commit(static_cast<hive_h*>(hive_), path_.c_str(), 0) != 0)
        throw std::runtime_error("hivex cannot write " + path_);
}

}  // namespace tolvane::testing
