// The container shared by database.db and script.db: the markup text's
// length as four little-endian bytes (at most 5,242,880), then the text
// compressed with zlib, every compressed byte XORed with 0xB7.
//
// database.db may carry a second member right after the end of that zlib
// stream: the compiled content rules (content_indicators.h frames them).
// zlib stops at the end of its stream, so older readers never see it; it is
// part of the file's bytes, so the SHA-256 a signed update names covers it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tolvane {

class FileSystem;

inline constexpr uint32_t kContainerTextLimit = 5242880;
inline constexpr unsigned char kContainerScramble = 0xB7;

// Why reading a container or loading definitions failed.
enum class LoadError {
    None,
    CannotRead,       // missing or unreadable file
    TooShort,         // fewer than four bytes
    LengthOverLimit,  // declared length above kContainerTextLimit
    Decompression,    // the stream did not decompress into the declared length
    Parse,            // the markup did not parse
};
// A short English phrase for the step that failed ("decompression failed").
const char* LoadErrorText(LoadError error);

// The markup text held by a container's bytes: the decompressed data up to
// its first NUL. False (and *error set when given) on failure.
bool DecodeContainer(std::string_view stored, std::string* text, LoadError* error = nullptr);
// The same, and the bytes after the markup's zlib stream (the rules member;
// empty when there are none).
bool DecodeContainer(std::string_view stored, std::string* text, std::string_view* trailing,
                     LoadError* error = nullptr);
// ReadContainer: the same for a file of the machine (a Windows path).
bool ReadContainer(const FileSystem& files, std::string_view path, std::string* text,
                   LoadError* error = nullptr);
// The container bytes of a markup text. False when the text is longer than
// kContainerTextLimit or compression fails.
bool EncodeContainer(std::string_view text, std::string* stored);

}  // namespace tolvane
