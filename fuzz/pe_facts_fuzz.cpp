// libFuzzer target: the PE reader (host/pe_facts.h) on untrusted bytes, the
// file size taken from the first eight bytes so that certificate tables past
// the bytes read are tried too.
//
// Checked: names come only from a PE file, stay within their limit and hold
// no control character.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "host/pe_facts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tolvane;
    if (size < 8) return 0;
    uint64_t fileSize = 0;
    std::memcpy(&fileSize, data, 8);
    std::string_view bytes(reinterpret_cast<const char*>(data) + 8, size - 8);
    PeFacts facts = ReadPeFacts(bytes, fileSize);
    for (const std::string* text : {&facts.company, &facts.product, &facts.description}) {
        if (!text->empty() && !facts.isPe) std::abort();
        if (text->size() > kPeTextLimit * 2) std::abort();
        for (char c : *text)
            if (static_cast<unsigned char>(c) < 0x20) std::abort();
    }
    if (facts.signature && !facts.isPe) std::abort();
    return 0;
}
