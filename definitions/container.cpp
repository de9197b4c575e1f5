#include "definitions/container.h"

#include <libdeflate.h>
#include <zlib.h>

#include <memory>
#include <vector>

namespace tolvane {

const char* LoadErrorText(LoadError error) {
    switch (error) {
        case LoadError::None:
            return "loaded";
        case LoadError::CannotRead:
            return "the file could not be read";
        case LoadError::TooShort:
            return "the file is shorter than its 4-byte length header";
        case LoadError::LengthOverLimit:
            return "the declared length is above 5,242,880 bytes";
        case LoadError::Decompression:
            return "decompression failed";
        case LoadError::Parse:
            return "the markup did not parse";
    }
    return "unknown failure";
}

// The declared length bounds the buffer before anything is allocated for it.
// A stream that decompresses to fewer bytes than declared yields only the
// bytes it produced: the rest of the buffer is never read as text.
bool DecodeContainer(std::string_view stored, std::string* text, LoadError* error) {
    std::string_view trailing;
    return DecodeContainer(stored, text, &trailing, error);
}

bool DecodeContainer(std::string_view stored, std::string* text, std::string_view* trailing,
                     LoadError* error) {
    auto fail = [error](LoadError why) {
        if (error) *error = why;
        return false;
    };
    if (stored.size() < 4) return fail(LoadError::TooShort);
    const auto* bytes = reinterpret_cast<const unsigned char*>(stored.data());
    uint32_t declared = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                        static_cast<uint32_t>(bytes[2]) << 16 |
                        static_cast<uint32_t>(bytes[3]) << 24;
    if (declared > kContainerTextLimit) return fail(LoadError::LengthOverLimit);

    std::vector<unsigned char> stream(bytes + 4, bytes + stored.size());
    for (unsigned char& b : stream) b ^= kContainerScramble;

    // Room for the line feeds the definitions loader turns into "\r\n" in
    // place; only the bytes used are ever touched.
    std::string out;
    out.reserve(declared + declared / 16);
    out.resize(declared);
    // libdeflate reads the same zlib stream about twice as fast as zlib's
    // inflate; it stops at the stream's end and says where that was.
    std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> inflater(
        libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
    if (!inflater) return fail(LoadError::Decompression);
    size_t consumed = 0, produced = 0;
    if (libdeflate_zlib_decompress_ex(inflater.get(), stream.data(), stream.size(), out.data(),
                                      declared, &consumed, &produced) != LIBDEFLATE_SUCCESS)
        return fail(LoadError::Decompression);
    size_t destLength = produced;
    *trailing = stored.substr(4 + consumed);
    out.resize(destLength);
    size_t nul = out.find('\0');
    if (nul != std::string::npos) out.resize(nul);
    *text = std::move(out);
    if (error) *error = LoadError::None;
    return true;
}

bool EncodeContainer(std::string_view text, std::string* stored) {
    if (text.size() > kContainerTextLimit) return false;
    uLongf length = compressBound(static_cast<uLong>(text.size()));
    std::string out(4 + length, '\0');
    const unsigned char empty = 0;
    int result = compress(reinterpret_cast<Bytef*>(out.data() + 4), &length,
                          text.empty() ? &empty : reinterpret_cast<const Bytef*>(text.data()),
                          static_cast<uLong>(text.size()));
    if (result != Z_OK) return false;
    out.resize(4 + length);
    uint32_t declared = static_cast<uint32_t>(text.size());
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((declared >> (8 * i)) & 0xFF);
    for (size_t i = 4; i < out.size(); ++i)
        out[i] = static_cast<char>(static_cast<unsigned char>(out[i]) ^ kContainerScramble);
    *stored = std::move(out);
    return true;
}

}  // namespace tolvane
