// The update service's HTTP transport (libcurl): fetches one address with
// time limits, handing the body to a callback piece by piece. Only a status
// of 200 delivers a body (an error page is never taken for a file), and
// redirects are followed only within the origin of the address asked for
// (the same scheme, host and port: never to another server, never from
// https to http), at most 5 of them. Thread-safe; StartHttp first.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace tolvane {

struct HttpSettings {
    std::chrono::milliseconds connectTimeout{15000};
    std::string userAgent;
};

enum class FetchOutcome {
    Ok,
    Unreachable,    // no connection, a time-out, a transport error
    HttpError,      // a status other than 200, or a redirect not followed
    StoppedByData,  // the callback refused more data
    Cancelled,      // cancelled was set
};

struct FetchResult {
    FetchOutcome outcome = FetchOutcome::Unreachable;
    long status = 0;
    std::string error;     // what went wrong, for the log
    std::string redirect;  // a 3xx answer's target
};

// Sets libcurl up once for the process (any thread, any number of times).
void StartHttp();

// Fetches url within total; onData gets the body in pieces and returns
// false to stop. Setting cancelled stops the transfer soon.
FetchResult FetchUrl(const std::string& url, const HttpSettings& settings,
                     std::chrono::milliseconds total, const std::atomic<bool>& cancelled,
                     std::function<bool(std::string_view)> onData);

// Fetches a small text whole into *body; *tooLarge when it passes limit
// bytes (the outcome is then StoppedByData).
FetchResult FetchText(const std::string& url, size_t limit, const HttpSettings& settings,
                      std::chrono::milliseconds total, const std::atomic<bool>& cancelled,
                      std::string* body, bool* tooLarge);

// True when to has the scheme, host and port of from (as libcurl reads the
// addresses; a port not written is the scheme's default).
bool SameOrigin(const std::string& from, const std::string& to);

// The base address of the update server: "http://" or "https://", a host,
// no blanks or control characters; trailing slashes dropped.
bool CleanServerAddress(std::string_view text, std::string* server);

}  // namespace tolvane
