// Windows constants the machine layer speaks: error codes, registry value
// types and access rights, file attributes. The values are Windows' own so
// that code written against the Windows API reads the same here.
#pragma once

#include <cstdint>

namespace tolvane {

// Error codes (winerror.h).
inline constexpr long ERROR_SUCCESS = 0;
inline constexpr long ERROR_FILE_NOT_FOUND = 2;
inline constexpr long ERROR_PATH_NOT_FOUND = 3;
inline constexpr long ERROR_ACCESS_DENIED = 5;
inline constexpr long ERROR_INVALID_HANDLE = 6;
inline constexpr long ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr long ERROR_INVALID_DATA = 13;
inline constexpr long ERROR_WRITE_PROTECT = 19;
inline constexpr long ERROR_NO_MORE_FILES = 18;
inline constexpr long ERROR_NOT_SAME_DEVICE = 17;
inline constexpr long ERROR_GEN_FAILURE = 31;
inline constexpr long ERROR_DISK_FULL = 112;
inline constexpr long ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr long ERROR_DIRECTORY = 267;
inline constexpr long ERROR_OPERATION_ABORTED = 995;
inline constexpr long ERROR_SHARING_VIOLATION = 32;
inline constexpr long ERROR_FILE_EXISTS = 80;
inline constexpr long ERROR_INVALID_PARAMETER = 87;
inline constexpr long ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr long ERROR_INVALID_NAME = 123;
inline constexpr long ERROR_DIR_NOT_EMPTY = 145;
inline constexpr long ERROR_ALREADY_EXISTS = 183;
inline constexpr long ERROR_MORE_DATA = 234;
inline constexpr long ERROR_NO_MORE_ITEMS = 259;
inline constexpr long ERROR_BADDB = 1009;
inline constexpr long ERROR_BADKEY = 1010;
inline constexpr long ERROR_CANTOPEN = 1011;
inline constexpr long ERROR_CANTREAD = 1012;
inline constexpr long ERROR_CANTWRITE = 1013;
inline constexpr long ERROR_KEY_DELETED = 1018;
inline constexpr long ERROR_NO_TOKEN = 1008;
inline constexpr long ERROR_NOT_ALL_ASSIGNED = 1300;

// Registry value types (winnt.h).
inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_DWORD_BIG_ENDIAN = 5;
inline constexpr uint32_t REG_LINK = 6;
inline constexpr uint32_t REG_MULTI_SZ = 7;
inline constexpr uint32_t REG_RESOURCE_LIST = 8;
inline constexpr uint32_t REG_FULL_RESOURCE_DESCRIPTOR = 9;
inline constexpr uint32_t REG_RESOURCE_REQUIREMENTS_LIST = 10;
inline constexpr uint32_t REG_QWORD = 11;

// Registry access rights.
inline constexpr uint32_t KEY_QUERY_VALUE = 0x0001;
inline constexpr uint32_t KEY_SET_VALUE = 0x0002;
inline constexpr uint32_t KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr uint32_t KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr uint32_t KEY_NOTIFY = 0x0010;
inline constexpr uint32_t KEY_CREATE_LINK = 0x0020;
inline constexpr uint32_t KEY_READ = 0x20019;
inline constexpr uint32_t KEY_WRITE = 0x20006;
inline constexpr uint32_t KEY_ALL_ACCESS = 0xF003F;
// Any of these bits asks for the right to change the key.
inline constexpr uint32_t KEY_WRITE_BITS =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | 0x10000 /*DELETE*/;

// File attributes.
inline constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x0001;
inline constexpr uint32_t FILE_ATTRIBUTE_HIDDEN = 0x0002;
inline constexpr uint32_t FILE_ATTRIBUTE_SYSTEM = 0x0004;
inline constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x0010;
inline constexpr uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x0020;
inline constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x0080;
inline constexpr uint32_t FILE_ATTRIBUTE_REPARSE_POINT = 0x0400;
inline constexpr uint32_t INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

// A FILETIME: 100-nanosecond intervals since 1601-01-01 UTC.
using FileTime = uint64_t;

}  // namespace tolvane
