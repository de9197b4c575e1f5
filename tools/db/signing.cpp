#include "tools/db/signing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "tools/db/cli.h"
#include "tools/db/host_files.h"
#include "update/update_signature.h"

namespace tolvane {
namespace {

using namespace db_tool;

constexpr const char* kKeyGenHelp =
    "Usage: tolvane-db keygen PRIVATE.pem PUBLIC.pem\n"
    "\n"
    "Makes a new Ed25519 key pair for signing update descriptions. PRIVATE.pem\n"
    "(unencrypted PKCS#8, mode 0600) signs; keep it off the update server and\n"
    "out of every repository. PUBLIC.pem goes into the program's list of\n"
    "trusted keys. Neither file may exist yet: a key is never overwritten.\n"
    "Prints the key id.\n";

constexpr const char* kSignHelp =
    "Usage: tolvane-db sign PRIVATE.pem FILE [--append]\n"
    "\n"
    "Signs the exact bytes of FILE (an update description) with the Ed25519\n"
    "key PRIVATE.pem and writes the signature file FILE.sig (replaced\n"
    "atomically). With --append the signatures already in FILE.sig by other\n"
    "keys are kept, so that a description can carry the old and the new key's\n"
    "signature while a key is being replaced; a FILE.sig that is no signature\n"
    "file is refused, never replaced. Sign again after every change\n"
    "to FILE. Prints the key id.\n";

constexpr const char* kVerifyHelp =
    "Usage: tolvane-db verify FILE [--key PUBLIC.pem]\n"
    "\n"
    "Checks FILE against FILE.sig as the program does: with the public keys\n"
    "built into this program, or with PUBLIC.pem only. Prints 'valid' and\n"
    "exits with 0, or says what is wrong and exits with 1.\n";

int Failed(const std::string& problem) {
    std::cerr << "tolvane-db: " << problem << "\n";
    return kFailed;
}

// Creates path with mode, refusing one that exists (or a link); the whole
// content is on disk when this returns true.
bool CreateNewFile(const std::string& path, const std::string& content, mode_t mode,
                   std::string* why) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        *why = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = ::fchmod(fd, mode) == 0;
    for (size_t done = 0; ok && done < content.size();) {
        ssize_t wrote = ::write(fd, content.data() + done, content.size() - done);
        ok = wrote > 0;
        if (ok) done += static_cast<size_t>(wrote);
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        ::unlink(path.c_str());
        *why = "cannot write " + path;
    }
    return ok;
}

}  // namespace

int KeyGen(const std::vector<std::string>& args) {
    if (WantsHelp(args)) return std::cout << kKeyGenHelp, kDone;
    if (args.size() != 2) return Usage(kKeyGenHelp, "keygen takes PRIVATE.pem and PUBLIC.pem");
    for (const std::string& path : args) {
        std::error_code error;
        if (std::filesystem::symlink_status(path, error).type() !=
            std::filesystem::file_type::not_found)
            return Failed(path + " exists; a key is never overwritten");
    }
    std::string privatePem, publicPem, why;
    if (!GenerateUpdateKeyPair(&privatePem, &publicPem, &why)) return Failed(why);
    if (!CreateNewFile(args[0], privatePem, 0600, &why)) return Failed(why);
    if (!CreateNewFile(args[1], publicPem, 0644, &why)) {
        ::unlink(args[0].c_str());
        return Failed(why);
    }
    std::cout << "key id " << UpdateKeyId(publicPem) << "\n";
    return kDone;
}

int Sign(const std::vector<std::string>& args) {
    if (WantsHelp(args)) return std::cout << kSignHelp, kDone;
    std::vector<std::string> positional;
    bool append = false;
    for (const std::string& a : args) {
        if (a == "--append")
            append = true;
        else if (a.size() > 1 && a[0] == '-')
            return Usage(kSignHelp, "unknown option " + a);
        else
            positional.push_back(a);
    }
    if (positional.size() != 2) return Usage(kSignHelp, "sign takes PRIVATE.pem and FILE");
    std::string privatePem, content, existing, line, publicPem, why;
    if (!ReadHostFile(positional[0], kSmallFileLimit, &privatePem, &why) ||
        !ReadHostFile(positional[1], kInputFileLimit, &content, &why))
        return Failed(why);
    const std::string signaturePath = positional[1] + kUpdateSignatureSuffix;
    std::vector<UpdateSignature> signatures;
    if (append && !ReadHostFile(signaturePath, kSmallFileLimit, &existing, &why))
        return Failed("--append: " + why);
    // What --append adds to must already be a signature file: anything else
    // would be replaced by one, its content lost. An empty file loses nothing.
    if (append && !existing.empty() && !ParseUpdateSignatureFile(existing, &signatures, &why))
        return Failed("--append: " + signaturePath + " is not a signature file: " + why);
    if (!SignUpdateContent(privatePem, content, &line, &publicPem, &why))
        return Failed(positional[0] + ": " + why);
    const std::string file = ComposeUpdateSignatureFile(existing, line);
    if (!ParseUpdateSignatureFile(file, &signatures, &why))
        return Failed(signaturePath + " would not be a signature file: " + why);
    if (!WriteHostFileAtomic(signaturePath, file, &why)) return Failed(why);
    std::cout << "signed by key " << UpdateKeyId(publicPem) << "\n";
    return kDone;
}

int Verify(const std::vector<std::string>& args) {
    if (WantsHelp(args)) return std::cout << kVerifyHelp, kDone;
    std::vector<std::string> positional;
    std::vector<std::string> keys = BuiltInUpdateKeys();
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--key") {
            std::string pem;
            if (i + 1 >= args.size()) return Usage(kVerifyHelp, "--key needs a value");
            std::string why;
            if (!ReadHostFile(args[++i], kSmallFileLimit, &pem, &why)) return Failed(why);
            if (UpdateKeyId(pem).empty()) return Failed(args[i] + " is no Ed25519 public key");
            keys = {pem};
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            return Usage(kVerifyHelp, "unknown option " + args[i]);
        } else {
            positional.push_back(args[i]);
        }
    }
    if (positional.size() != 1) return Usage(kVerifyHelp, "verify takes one FILE");
    std::string content, signature, detail, why;
    if (!ReadHostFile(positional[0], kInputFileLimit, &content, &why)) return Failed(why);
    const std::string signaturePath = positional[0] + kUpdateSignatureSuffix;
    if (!ReadHostFile(signaturePath, kSmallFileLimit, &signature, &why))
        return Failed("the signature is missing: " + why);
    if (VerifyUpdateSignature(content, signature, keys, &detail) != SignatureVerdict::Valid)
        return Failed("the signature is wrong: " + detail);
    std::cout << "valid, " << detail << "\n";
    return kDone;
}

}  // namespace tolvane
