#include "scan/clamd_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <vector>

#include "base/text.h"
#include "definitions/threat_database.h"
#include "host/host_files.h"
#include "settings/host_settings.h"

namespace tolvane {
namespace {

constexpr uint64_t kConfigCap = 1024 * 1024;
// clamd's answers are one short line; a longer one is no answer of clamd's.
constexpr size_t kAnswerCap = 64 * 1024;
constexpr size_t kStreamChunk = 64 * 1024;

bool SendAll(int socket, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t sent = send(socket, bytes, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        bytes += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

bool SendCommand(int socket, std::string_view command) {
    std::string line = "z" + std::string(command);
    return SendAll(socket, line.c_str(), line.size() + 1);  // the NUL ends a z-command
}

// "3: fd[7]: Eicar FOUND" -> "Eicar FOUND": the session number and the name
// clamd gives the file are not part of the answer.
std::string_view AnswerBody(std::string_view line) {
    size_t digits = 0;
    while (digits < line.size() && std::isdigit(static_cast<unsigned char>(line[digits]))) ++digits;
    if (digits > 0 && line.substr(digits, 2) == ": ") line.remove_prefix(digits + 2);
    for (std::string_view name : {"stream: ", "fd["}) {
        if (line.substr(0, name.size()) != name) continue;
        size_t end = line.find(": ");
        if (end != std::string_view::npos) line.remove_prefix(end + 2);
    }
    return line;
}

}  // namespace

std::string ClamdConfigSocket(const std::string& configPath) {
    std::string content;
    if (ReadRegularFile(configPath, kConfigCap, &content) != RegularFileState::Read) return "";
    std::string socket;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string_view line = Trim(std::string_view(content).substr(start, end - start), " \t\r");
        start = end + 1;
        if (line.substr(0, 11) != "LocalSocket" || line.size() < 12 ||
            (line[11] != ' ' && line[11] != '\t'))
            continue;
        socket = std::string(Trim(line.substr(11)));  // the last one counts, as for clamd
    }
    return socket;
}

std::string ClamdSocketPath(const std::string& option) {
    if (!option.empty()) return option;
    HostSettingValue setting = HostClamdSocket();
    if (!setting.value.empty()) return setting.value;
    return ClamdConfigSocket(kClamdConfigPath);
}

ClamdAnswer ParseClamdAnswer(std::string_view answer) {
    ClamdAnswer parsed;
    if (answer == "OK") {
        parsed.verdict = ClamdVerdict::Clean;
    } else if (answer.ends_with(" FOUND")) {
        std::string signature(answer.substr(0, answer.size() - 6));
        // Heuristics.Limits.Exceeded.*: ClamAV stopped reading, it did not
        // find anything.
        if (signature.find("Limits.Exceeded") != std::string::npos) {
            parsed.reason = "ClamAV's limits were exceeded (" + signature + ")";
        } else {
            parsed.verdict = ClamdVerdict::Found;
            parsed.signature = std::move(signature);
        }
    } else if (answer.ends_with(" ERROR")) {
        parsed.reason = "clamd: " + std::string(answer.substr(0, answer.size() - 6));
    } else {
        parsed.reason = "clamd answered \"" + std::string(answer) + "\"";
    }
    return parsed;
}

ClamdClient::ClamdClient(std::string socketPath, std::chrono::milliseconds timeout)
    : socketPath_(std::move(socketPath)), timeout_(timeout) {}

ClamdClient::~ClamdClient() {
    if (socket_.valid()) SendCommand(socket_.get(), "END");
}

std::unique_ptr<ClamdClient> ClamdClient::Connect(const std::string& socketPath, std::string* error,
                                                  std::chrono::milliseconds timeout) {
    std::unique_ptr<ClamdClient> client(new ClamdClient(socketPath, timeout));
    if (!client->Open(error)) return nullptr;
    if (error) error->clear();
    return client;
}

bool ClamdClient::Open(std::string* error) {
    socket_.Reset();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath_.empty() || socketPath_.size() >= sizeof(address.sun_path)) {
        if (error) *error = "clamd at \"" + socketPath_ + "\": not a socket path";
        return false;
    }
    memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(timeout_.count() / 1000);
    limit.tv_usec = static_cast<suseconds_t>(timeout_.count() % 1000 * 1000);
    bool ok = fd.valid() &&
              setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 &&
              setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0 &&
              connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (!ok || !SendCommand(fd.get(), "IDSESSION")) {
        if (error) *error = "clamd at " + socketPath_ + ": " + strerror(errno);
        return false;
    }
    socket_ = std::move(fd);
    return true;
}

bool ClamdClient::SendFildes(int fd) {
    if (!SendCommand(socket_.get(), "FILDES")) return false;
    char dummy = 0;
    iovec part{&dummy, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(header), &fd, sizeof(int));
    return sendmsg(socket_.get(), &message, MSG_NOSIGNAL) == 1;
}

bool ClamdClient::SendInstream(int fd) {
    if (!SendCommand(socket_.get(), "INSTREAM")) return false;
    std::vector<char> chunk(4 + kStreamChunk);
    for (off_t offset = 0;;) {
        ssize_t got = pread(fd, chunk.data() + 4, kStreamChunk, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        uint32_t length = htonl(static_cast<uint32_t>(got));
        memcpy(chunk.data(), &length, 4);
        if (!SendAll(socket_.get(), chunk.data(), 4 + static_cast<size_t>(got))) return false;
        if (got == 0) return true;  // the zero-length chunk ends the stream
        offset += got;
    }
}

bool ClamdClient::ReadAnswer(std::string* answer) {
    answer->clear();
    char buffer[4096];
    while (answer->size() < kAnswerCap) {
        ssize_t got = recv(socket_.get(), buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        answer->append(buffer, static_cast<size_t>(got));
        size_t end = answer->find('\0');
        if (end != std::string::npos) {
            answer->resize(end);
            return true;
        }
    }
    return false;
}

ClamdAnswer ClamdClient::Check(int fd) {
    ClamdAnswer notChecked;
    notChecked.reason = "ClamAV stopped answering (clamd at " + socketPath_ + ")";
    if (stopped_) return notChecked;
    off_t offset = lseek(fd, 0, SEEK_CUR);
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!socket_.valid() && !Open(nullptr)) {
            stopped_ = true;
            return notChecked;
        }
        bool byDescriptor = descriptorsPass_;
        errno = 0;
        bool sent = byDescriptor ? SendFildes(fd) : SendInstream(fd);
        std::string line;
        bool answered = sent && ReadAnswer(&line);
        if (offset >= 0) lseek(fd, offset, SEEK_SET);
        if (!answered) {
            bool timedOut = errno == EAGAIN || errno == EWOULDBLOCK;
            socket_.Reset();  // a half-done exchange leaves the session out of step
            if (timedOut) {
                notChecked.reason = "clamd did not answer in time (clamd at " + socketPath_ + ")";
                return notChecked;
            }
            continue;  // clamd closed the connection: once more on a new one
        }
        ClamdAnswer parsed = ParseClamdAnswer(AnswerBody(line));
        // A clamd that cannot take descriptors (another user's, a proxy)
        // gets the bytes instead, from now on.
        if (byDescriptor && parsed.verdict == ClamdVerdict::NotChecked &&
            (line.find("descriptor") != std::string::npos ||
             line.find("FILDES") != std::string::npos)) {
            descriptorsPass_ = false;
            // clamd ends the session after an ERROR: the stream goes on a
            // new connection, not spending a retry on the closed one.
            socket_.Reset();
            continue;
        }
        return parsed;
    }
    return notChecked;
}

ClamdFindings::ClamdFindings() = default;
ClamdFindings::~ClamdFindings() = default;

ThreatDefinition* ClamdFindings::DefinitionFor(const std::string& signature,
                                               const std::string& socketPath) {
    std::unique_ptr<ThreatDefinition>& definition = definitions_[signature];
    if (!definition) {
        definition = std::make_unique<ThreatDefinition>();
        definition->name = texts_.Keep(signature);
        definition->category = "Virus";
        definition->danger = "High";
        definition->description =
            texts_.Keep("Found by your own ClamAV (clamd at " + socketPath + "): its signature " +
                        signature + " matched this file.");
    }
    return definition.get();
}

ClamdChecker::ClamdChecker(std::string socketOption) : socketOption_(std::move(socketOption)) {}
ClamdChecker::~ClamdChecker() = default;

bool ClamdChecker::BeginScan(std::string* logLine) {
    client_.reset();
    checked_ = notChecked_ = afterStop_ = 0;
    socketPath_ = ClamdSocketPath(socketOption_);
    if (socketPath_.empty()) return false;  // no ClamAV set up on this computer
    std::string error;
    client_ = ClamdClient::Connect(socketPath_, &error);
    if (!client_ && logLine) *logLine = "ClamAV: " + error + "; files are not checked by ClamAV\n";
    return client_ != nullptr;
}

ContentFileChecker::Verdict ClamdChecker::Check(const ContentFileView& file) {
    Verdict verdict;
    if (!client_) return verdict;
    ClamdAnswer answer = client_->Check(file.fd);
    if (answer.verdict == ClamdVerdict::Found) {
        verdict.definition = findings_.DefinitionFor(answer.signature, socketPath_);
        verdict.finding.source = "ClamAV";
        verdict.finding.rule = answer.signature;
    } else if (answer.verdict == ClamdVerdict::NotChecked) {
        verdict.notChecked = client_->Stopped() ? "clamdStopped" : "clamd";
        ++notChecked_;
        if (client_->Stopped()) ++afterStop_;
        return verdict;
    }
    ++checked_;
    return verdict;
}

std::string ClamdChecker::EndScan(std::string* note) {
    if (!client_) return "";
    std::string line = "ClamAV (clamd at " + socketPath_ + "): " + std::to_string(checked_) +
                       " files checked, " + std::to_string(notChecked_) + " not checked\n";
    if (client_->Stopped()) {
        std::string stopped = "ClamAV could not check the rest: clamd stopped answering, and " +
                              std::to_string(afterStop_) + " files were not checked by it.";
        line += stopped + "\n";
        if (note) *note = stopped;
    }
    client_.reset();
    return line;
}

}  // namespace tolvane
