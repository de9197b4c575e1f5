// The benchmarks' generated file tree: folders d0000\f00 .. in two levels,
// the files (64 bytes each) spread evenly over the leaves, and two planted
// traces (d0\f0\spy1.exe, d0\f1\spy2.exe).
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace tolvane::bench {

// "file12.dat" and the like, without GCC 12's false -Wrestrict alarm on
// literal + string.
inline std::string Numbered(std::string_view stem, int number, std::string_view tail = {}) {
    std::string name(stem);
    name += std::to_string(number);
    name += tail;
    return name;
}

inline void MakeTree(const std::filesystem::path& root, int folders, int files) {
    int top = std::max(1, folders / 100);
    int perTop = std::max(1, folders / top);
    int leaves = top * perTop;
    int perLeaf = std::max(1, files / leaves);
    std::string content(64, 'x');
    for (int t = 0; t < top; ++t) {
        for (int l = 0; l < perTop; ++l) {
            std::filesystem::path leaf = root / Numbered("d", t) / Numbered("f", l);
            std::filesystem::create_directories(leaf);
            for (int f = 0; f < perLeaf; ++f)
                std::ofstream(leaf / Numbered("file", f, ".dat")) << content;
        }
    }
    std::ofstream(root / "d0" / "f0" / "spy1.exe") << "x";
    std::ofstream(root / "d0" / "f1" / "spy2.exe") << "x";
}

}  // namespace tolvane::bench
