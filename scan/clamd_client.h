// The user's ClamAV: the clamd of this computer, reached on its Unix socket,
// checks the files the content check opens. Each file goes to clamd as its
// descriptor (FILDES, passed with SCM_RIGHTS), so clamd reads exactly what
// Tolvane opened, never a path that a link could turn elsewhere; where a
// descriptor cannot pass, the file's bytes are streamed (INSTREAM).
//
// Where clamd listens is the host's choice, never the machine's: the
// --clamd option, else the host setting "ClamdSocket" (host_settings.h),
// else LocalSocket of /etc/clamav/clamd.conf.
//
// Answers: "OK" is clean, "NAME FOUND" a finding named by ClamAV's
// signature; an answer that says limits were exceeded, any "ERROR", a time-out
// and a clamd that went away all leave the file not checked, never clean.
// Once clamd stops answering (it cannot be reached again) the client is
// Stopped(): every later file is not checked at once, and the scan goes on.
//
// Threads: one ClamdClient serves one thread at a time, one file in flight
// on one connection (an IDSESSION); a scan that checks files on N threads
// keeps N clients. Every read and write on the socket has a time-out.
// Errors are values; nothing throws.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "definitions/text_store.h"
#include "host/held_path.h"
#include "scan/content_check.h"

namespace tolvane {

struct ThreatDefinition;

inline constexpr char kClamdConfigPath[] = "/etc/clamav/clamd.conf";

// LocalSocket of a clamd.conf; "" when the file has none or cannot be read.
std::string ClamdConfigSocket(const std::string& configPath);

// The socket to ask: option when given, else the host setting "ClamdSocket",
// else LocalSocket of kClamdConfigPath; "" when none names one.
std::string ClamdSocketPath(const std::string& option);

enum class ClamdVerdict { Clean, Found, NotChecked };

struct ClamdAnswer {
    ClamdVerdict verdict = ClamdVerdict::NotChecked;
    std::string signature;  // Found: ClamAV's signature name
    std::string reason;     // NotChecked: why, e.g. clamd's own words
};

// One answer line of clamd (without its session number and file name part:
// "OK", "Eicar-Signature FOUND", "Can't allocate memory ERROR").
ClamdAnswer ParseClamdAnswer(std::string_view answer);

class ClamdClient {
  public:
    // Connects to clamd at socketPath. nullptr and *error when no clamd
    // answers there ("clamd at PATH: connection refused").
    static std::unique_ptr<ClamdClient> Connect(
        const std::string& socketPath, std::string* error,
        std::chrono::milliseconds timeout = std::chrono::seconds(120));
    ~ClamdClient();
    ClamdClient(const ClamdClient&) = delete;
    ClamdClient& operator=(const ClamdClient&) = delete;

    // Checks the file open for reading at fd (a regular file; its offset is
    // left as it was).
    ClamdAnswer Check(int fd);
    // Whether clamd went away: every Check since answered NotChecked.
    bool Stopped() const { return stopped_; }
    const std::string& socketPath() const { return socketPath_; }

  private:
    ClamdClient(std::string socketPath, std::chrono::milliseconds timeout);
    bool Open(std::string* error);
    bool SendFildes(int fd);
    bool SendInstream(int fd);
    bool ReadAnswer(std::string* answer);

    std::string socketPath_;
    std::chrono::milliseconds timeout_;
    UniqueFd socket_;
    bool descriptorsPass_ = true;
    bool stopped_ = false;
};

// The definitions ClamAV's findings are listed under: one a signature,
// category "Virus", its description saying it came from the user's ClamAV.
// They and their texts (kept in this object's store) live as long as this
// object; the rows that point at them must not outlive it.
class ClamdFindings {
  public:
    ClamdFindings();
    ~ClamdFindings();
    ThreatDefinition* DefinitionFor(const std::string& signature, const std::string& socketPath);

  private:
    std::map<std::string, std::unique_ptr<ThreatDefinition>> definitions_;
    TextStore texts_;  // what the definitions' views show
};

// The user's ClamAV as an extra checker of the content check
// (content_check.h): each file the definitions did not recognise goes to
// clamd. Each scan connects afresh as it starts (the user may have started
// clamd or named another socket meanwhile). No clamd there: the scan's log
// says so in one line and the checker sits that scan out. clamd stopping
// mid-scan: the rest is counted as not checked, and the log and the scan's
// note say that ClamAV could not check it.
class ClamdChecker : public ContentFileChecker {
  public:
    // socketOption: --clamd's value; "" takes the host's settings.
    explicit ClamdChecker(std::string socketOption);
    ~ClamdChecker() override;
    bool BeginScan(std::string* logLine) override;
    Verdict Check(const ContentFileView& file) override;
    std::string EndScan(std::string* note) override;

  private:
    std::string socketOption_;
    std::string socketPath_;
    std::unique_ptr<ClamdClient> client_;
    uint64_t checked_ = 0;
    uint64_t notChecked_ = 0;
    uint64_t afterStop_ = 0;
    ClamdFindings findings_;
};

}  // namespace tolvane
