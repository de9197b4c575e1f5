#include "platform/testing/regf_builder.h"

#include <hivex.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace tolvane::testing {
namespace {

void Put32(std::string& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
void Put16(std::string& b, size_t at, uint16_t v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8);
}
uint32_t Get32(const std::string& b, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[at + i]);
    return v;
}

// The base block's checksum: the XOR of its first 127 double words.
void MendChecksum(std::string& hive) {
    uint32_t sum = 0;
    for (size_t at = 0; at < 508; at += 4) sum ^= Get32(hive, at);
    Put32(hive, 508, sum);
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

}  // namespace

void WriteEmptyRegf(const std::string& path) {
    constexpr size_t kBin = 0x1000, kRoot = 0x20, kSk = 0x78, kFree = 0xA8;
    std::string hive(0x2000, '\0');
    std::memcpy(&hive[0], "regf", 4);
    Put32(hive, 4, 1);  // sequence numbers: closed cleanly
    Put32(hive, 8, 1);
    Put32(hive, 20, 1);  // format version 1.3
    Put32(hive, 24, 3);
    Put32(hive, 32, 1);
    Put32(hive, 36, kRoot);
    Put32(hive, 40, 0x1000);  // size of the bins
    Put32(hive, 44, 1);
    MendChecksum(hive);

    std::memcpy(&hive[kBin], "hbin", 4);
    Put32(hive, kBin + 8, 0x1000);
    size_t nk = kBin + kRoot;
    Put32(hive, nk, static_cast<uint32_t>(-88));
    std::memcpy(&hive[nk + 4], "nk", 2);
    Put16(hive, nk + 6, 0x2C);         // hive entry, no delete, ASCII name
    Put32(hive, nk + 32, 0xFFFFFFFF);  // no subkey lists
    Put32(hive, nk + 36, 0xFFFFFFFF);
    Put32(hive, nk + 44, 0xFFFFFFFF);  // no value list
    Put32(hive, nk + 48, kSk);
    Put32(hive, nk + 52, 0xFFFFFFFF);  // no class name
    Put16(hive, nk + 76, 4);
    std::memcpy(&hive[nk + 80], "ROOT", 4);
    size_t sk = kBin + kSk;
    Put32(hive, sk, static_cast<uint32_t>(-48));
    std::memcpy(&hive[sk + 4], "sk", 2);
    Put32(hive, sk + 8, kSk);  // the only security cell: its own neighbour
    Put32(hive, sk + 12, kSk);
    Put32(hive, sk + 16, 1);
    Put32(hive, sk + 20, 20);
    hive[sk + 24] = 1;  // self-relative descriptor, no DACL restrictions
    Put16(hive, sk + 26, 0x8004);
    Put32(hive, kBin + kFree, 0x1000 - kFree);
    WriteAll(path, hive);
}

void SetRegfSequenceNumbers(const std::string& path, uint32_t primary, uint32_t secondary) {
    std::string hive = ReadAll(path);
    if (hive.size() < 512) throw std::runtime_error(path + " is no hive");
    Put32(hive, 4, primary);
    Put32(hive, 8, secondary);
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
    Put32(data, 0, value);
    return Raw(path, name, hive_t_REG_DWORD, data);
}

RegfBuilder& RegfBuilder::Raw(std::string_view path, std::string_view name, uint32_t type,
                              std::string_view data) {
    std::string key(name);
    std::string bytes(data);
    hive_set_value value{key.data(), static_cast<hive_type>(type), bytes.size(), bytes.data()};
    if (hivex_node_set_value(static_cast<hive_h*>(hive_), Node(path), &value, 0) != 0)
        throw std::runtime_error("hivex cannot set " + key);
    return *this;
}

void RegfBuilder::Commit() {
    if (hivex_commit(static_cast<hive_h*>(hive_), path_.c_str(), 0) != 0)
        throw std::runtime_error("hivex cannot write " + path_);
}

}  // namespace tolvane::testing
