#include "scan/file_type.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace tolvane {
namespace {

struct Signature {
    std::string_view magic;
    const char* type;
};

// From misc/file-type-signatures.txt of Florian Roth's signature-base
// (commit 8a89b3b), under the Detection Rule License 1.1
// (licenses/signature-base-LICENSE): the type names public YARA rules
// compare `filetype` with.
constexpr Signature kSignatures[] = {
    {std::string_view("\x01\x06\x01\x00", 4), "Job File"},
    {std::string_view("\x1F\x8B\x08", 3), "GZIP"},
    {std::string_view("\x25\x50\x44\x46", 4), "PDF"},
    {std::string_view("\x30\x00\x00\x00\x4C\x66\x4C\x65", 8), "EVT Event Viewer File"},
    {std::string_view("\x50\x4B\x03\x04\x14\x00\x06\x00", 8), "Office"},
    {std::string_view("\x50\x4B\x53\x70\x58", 5), "PKSFX"},
    {std::string_view("\x37\x7A\xBC\xAF\x27\x1C", 6), "7Zip"},
    {std::string_view("\x46\x75\x6E\x63\x74\x69\x6F\x6E", 8), "VBS"},
    {std::string_view("\x42\x5A\x68", 3), "BZip2"},
    {std::string_view("\x5F\x27\xA8\x89", 4), "JAR"},
    {std::string_view("\xFF\xD8\xFF", 3), "JPEG"},
    {std::string_view("\x50\x4B\x05\x06", 4), "PKZIP"},
    {std::string_view("\x52\x61\x72\x21\x1A\x07", 6), "RAR"},
    {std::string_view("\x57\x69\x6E\x5A\x69\x70", 6), "WinZIP"},
    {std::string_view("\x72\x65\x67\x66", 4), "Registry Hive"},
    {std::string_view("\x7B\x5C\x72\x74", 4), "RTF"},
    {std::string_view("\x75\x73\x74\x61\x72", 5), "TAR"},
    {std::string_view("\xD4\xC3\xB2\xA1", 4), "WINPCAP"},
    {std::string_view("\xA1\xB2\xC3\xD4", 4), "LIBPCAP"},
    {std::string_view("\xA1\xB2\xCD\x34", 4), "LIBPCAP"},
    {std::string_view("\xFF\x4B\x45\x59\x42\x20\x20\x20", 8), "SYS Keyboard Driver"},
    {std::string_view("\xFF\xFE\x3C\x00\x3F\x00\x78\x00\x6D\x00\x6C", 11), "Windows At Job"},
    {std::string_view("\x3C\x3F\x70\x68\x70", 5), "PHP"},
    {std::string_view("\x0D\x44\x4F\x43", 4), "DOC"},
    {std::string_view("\xFF\xD8\xFF\xE0", 4), "JPEG"},
    {std::string_view("\x23\x20\x44\x69\x73\x6B\x20\x44", 8), "VMDK"},
    {std::string_view("\x30\x00\x00\x00\x4C\x66\x4C\x65", 8), "EVT"},
    {std::string_view("\x45\x6C\x66\x46\x69\x6C", 6), "EVTX"},
    {std::string_view("\x41\x45\x53", 3), "AESCrypt"},
    {std::string_view("\x43\x4F\x57\x44", 4), "VMDK"},
    {std::string_view("\x43\x57\x53", 3), "SWF"},
    {std::string_view("\x5A\x57\x53", 3), "SWF"},
    {std::string_view("\x46\x57\x53", 3), "SWF"},
    {std::string_view("\x46\x49\x4C\x45", 4), "NTFS MFT"},
    {std::string_view("\x4A\x41\x52\x43\x53\x00", 6), "JARCS"},
    {std::string_view("\x4B\x44\x4D", 3), "VMDK"},
    {std::string_view("\x4C\x00\x00\x00\x01\x14\x02\x00", 8), "LNK"},
    {std::string_view("\x4D\x53\x43\x46", 4), "CAB"},
    {std::string_view("\x50\x4B\x03\x04", 4), "ZIP"},
    {std::string_view("\x3C\x3F\x78\x6D\x6C", 5), "XML"},
    {std::string_view("\x63\x6F\x6E\x65\x63\x74\x69\x78", 8), "VHD"},
    {std::string_view("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8), "OLE"},
    {std::string_view("\x40\x65\x63\x68", 4), "BATCH"},
    {std::string_view("\x40\x45\x43\x48", 4), "BATCH"},
    {std::string_view("\xFF\xFE\x90\x02\x01\x00", 6), "Trace Log File"},
    {std::string_view("\x23\x21\x2F", 3), "UNIX SCRIPT"},
    {std::string_view("\x4D\x44\x4D\x50", 4), "MDMP"},
    {std::string_view("\xFF\xFE\x3C\x00\x25\x00", 6), "JSP"},
    {std::string_view("\xFE\xFF\x00\x3C\x00\x25", 6), "JSP"},
    {std::string_view("\x43\x57\x53", 3), "CWS"},
    {std::string_view("\x5A\x57\x53", 3), "ZWS"},
    {std::string_view("\x46\x57\x53", 3), "FWS (Flash)"},
    {std::string_view("\x30\x3A\x30\x30\x3A\x30\x30", 7), "Log Relative"},
    {std::string_view("\x7F\x45", 2), "ELF"},
    {std::string_view("\x23\x21", 2), "Script"},
    {std::string_view("\x1F\x9D", 2), "TARZ"},
    {std::string_view("\x1F\xA0", 2), "TARZ"},
    {std::string_view("\x3C\x25", 2), "JSP"},
    {std::string_view("\x3C\x25\x40", 3), "ASP"},
    {std::string_view("\xFF\xFE\x3C\x00\x25\x00\x40\x00", 8), "ASP"},
    {std::string_view("\xFE\xFF\x00\x3C\x00\x25\x00\x40", 8), "ASP"},
    {std::string_view("\x4D\x5A", 2), "EXE"},
    {std::string_view("\xFF\xFE", 2), "UTF16-Encoded File LE"},
    {std::string_view("\xFE\xFF", 2), "UTF16-Encoded File BE"},
    {std::string_view("\xCA\xFE", 2), "Java Class or DYLIB"},
    {std::string_view("\x5B\x30\x30\x30\x30\x30\x30\x30\x30\x3A", 10), "MimiLSA Log"},
    {std::string_view("\x65\x63\x68\x6F", 4), "Batch"},
    {std::string_view("\x40\x65\x63\x68\x6F", 5), "Batch"},
    {std::string_view("\x5B\x49\x6E\x74", 4), "Internet Shortcut"},
    {std::string_view("\xFF\xFE\x76\x00\x61\x00\x72\x00", 8), "Emotet JS"},
    {std::string_view("\xFF\xFE\x56\x00\x65\x00\x72\x00\x73\x00\x69\x00\x6F", 13), "WER"},
    {std::string_view("\x56\x00\x65\x00\x72\x00\x73\x00\x69\x00\x6F\x00\x6E", 13), "WER"},
    {std::string_view("\x41\x54\x26\x54\x46\x4F\x52\x4D", 8), "Gitlab EXIF"},
    {std::string_view("\x3C\x62\x6F\x64\x79\x3E", 6), "Web"},
    {std::string_view("\x4F\x6E\x20\x45\x72\x72\x6F\x72\x20\x52\x65\x73\x75\x6D\x65", 15), "VBS"},
    {std::string_view("\x3C\x68\x74\x6D\x6C", 5), "HTML"},
    {std::string_view("\x3C\x48\x54\x4D\x4C", 5), "HTML"},
    {std::string_view("\x2D\x2D\x2D\x2D\x2D\x42\x45\x47\x49\x4E", 10), "Certificate PEM"},
    {std::string_view("\x53\x61\x6C\x74\x65\x64\x5F\x5F", 8), "OpenSSL Salted Format"},
    {std::string_view("\x3C\x25\x2D\x2D", 4), "JSP"},
    {std::string_view("\x54\x56", 2), "Base64 EXE"},
};

constexpr std::string_view kCheckedTypes[] = {"EXE",
                                              "ELF",
                                              "Java Class or DYLIB",
                                              "Base64 EXE",
                                              "VBS",
                                              "PHP",
                                              "BATCH",
                                              "Batch",
                                              "UNIX SCRIPT",
                                              "Script",
                                              "JSP",
                                              "ASP",
                                              "Web",
                                              "HTML",
                                              "Emotet JS",
                                              "GZIP",
                                              "7Zip",
                                              "PKSFX",
                                              "BZip2",
                                              "JAR",
                                              "PKZIP",
                                              "RAR",
                                              "WinZIP",
                                              "TAR",
                                              "CAB",
                                              "ZIP",
                                              "TARZ",
                                              "JARCS",
                                              "Office",
                                              "OLE",
                                              "PDF",
                                              "RTF",
                                              "DOC",
                                              "LNK",
                                              "Internet Shortcut",
                                              "SWF",
                                              "CWS",
                                              "ZWS",
                                              "FWS (Flash)",
                                              "XML",
                                              "Job File",
                                              "Windows At Job",
                                              "UTF16-Encoded File LE",
                                              "UTF16-Encoded File BE"};

constexpr std::string_view kCheckedExtensions[] = {
    ".exe",  ".dll", ".sys",  ".scr",  ".com", ".cpl", ".ocx",  ".drv",  ".efi",  ".msi", ".msp",
    ".pif",  ".ps1", ".psm1", ".psd1", ".vbs", ".vbe", ".js",   ".jse",  ".wsf",  ".wsh", ".hta",
    ".bat",  ".cmd", ".py",   ".pyw",  ".pl",  ".sh",  ".php",  ".asp",  ".aspx", ".jsp", ".lnk",
    ".url",  ".doc", ".docx", ".docm", ".dot", ".xls", ".xlsx", ".xlsm", ".xlsb", ".ppt", ".pptx",
    ".pptm", ".rtf", ".pdf",  ".chm",  ".zip", ".rar", ".7z",   ".gz",   ".tar",  ".cab", ".jar",
    ".iso",  ".img", ".vhd",  ".tmp",  ".dat", ".bin", ".job",  ".inf",  ".reg"};

}  // namespace

std::string_view FileTypeOfHead(std::string_view head) {
    std::string_view best;
    size_t bestLength = 0;
    for (const Signature& signature : kSignatures) {
        if (signature.magic.size() > bestLength && head.starts_with(signature.magic)) {
            best = signature.type;
            bestLength = signature.magic.size();
        }
    }
    return best;
}

bool IsContentCheckedKind(std::string_view fileType, std::string_view extension) {
    if (!fileType.empty() && std::find(std::begin(kCheckedTypes), std::end(kCheckedTypes),
                                       fileType) != std::end(kCheckedTypes))
        return true;
    return std::find(std::begin(kCheckedExtensions), std::end(kCheckedExtensions), extension) !=
           std::end(kCheckedExtensions);
}

}  // namespace tolvane
