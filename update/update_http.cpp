#include "update/update_http.h"

#include <curl/curl.h>

#include <cctype>
#include <mutex>

namespace tolvane {

namespace {

struct Transfer {
    CURL* curl = nullptr;
    const std::atomic<bool>* cancelled = nullptr;
    std::function<bool(std::string_view)> onData;  // false stops the transfer
    bool badStatus = false;
    long status = 0;
    bool stoppedByData = false;
};

size_t WriteCallback(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    size_t bytes = size * count;
    long status = 0;
    curl_easy_getinfo(transfer->curl, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 300 && status < 400) return bytes;  // a redirect's page is dropped
    if (status != 200) {
        // An error page is never taken for the file.
        transfer->badStatus = true;
        transfer->status = status;
        return 0;
    }
    if (!transfer->onData(std::string_view(data, bytes))) {
        transfer->stoppedByData = true;
        return 0;
    }
    return bytes;
}

int ProgressCallback(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* transfer = static_cast<Transfer*>(user);
    return transfer->cancelled->load() ? 1 : 0;
}

// An address's scheme, host and port (the default port when none is
// written), as libcurl reads the address; "" when it reads none.
std::string Origin(const std::string& url) {
    CURLU* handle = curl_url();
    std::string origin;
    if (handle && curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
        char* parts[3] = {nullptr, nullptr, nullptr};
        CURLUPart names[3] = {CURLUPART_SCHEME, CURLUPART_HOST, CURLUPART_PORT};
        bool ok = true;
        for (int i = 0; i < 3; ++i)
            ok = curl_url_get(handle, names[i], &parts[i], CURLU_DEFAULT_PORT) == CURLUE_OK && ok;
        if (ok) origin = std::string(parts[0]) + "://" + parts[1] + ":" + parts[2];
        for (char* part : parts) curl_free(part);
    }
    curl_url_cleanup(handle);
    for (char& c : origin) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return origin;
}

// One request, no redirect followed.
FetchResult FetchOnce(const std::string& url, const HttpSettings& options,
                      std::chrono::milliseconds total, Transfer& transfer) {
    FetchResult result;
    CURL* curl = curl_easy_init();
    if (!curl) {
        result.error = "the HTTP client could not be started";
        return result;
    }
    transfer.curl = curl;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(options.connectTimeout.count()));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(total.count()));
    curl_easy_setopt(curl, CURLOPT_USERAGENT, options.userAgent.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteCallback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, ProgressCallback);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
    CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    result.status = status;
    char* redirect = nullptr;
    if (code == CURLE_OK && status >= 300 && status < 400 &&
        curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &redirect) == CURLE_OK && redirect) {
        result.redirect = redirect;
    }
    if (transfer.cancelled->load()) {
        result.outcome = FetchOutcome::Cancelled;
    } else if (transfer.badStatus || (code == CURLE_OK && status != 200)) {
        result.outcome = FetchOutcome::HttpError;
        result.status = transfer.badStatus ? transfer.status : status;
        result.error = "the server answered HTTP " + std::to_string(result.status);
    } else if (transfer.stoppedByData) {
        result.outcome = FetchOutcome::StoppedByData;
    } else if (code != CURLE_OK) {
        result.error = errorBuffer[0] ? errorBuffer : curl_easy_strerror(code);
    } else {
        result.outcome = FetchOutcome::Ok;
    }
    curl_easy_cleanup(curl);
    return result;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

}  // namespace

void StartHttp() {
    static std::once_flag ready;
    std::call_once(ready, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool SameOrigin(const std::string& from, const std::string& to) {
    const std::string origin = Origin(from);
    return !origin.empty() && Origin(to) == origin;
}

// Fetches url, following at most 5 redirects, each only to the origin of
// url itself: another host, port or scheme (https to http above all) could
// answer for a server it is not.
FetchResult FetchUrl(const std::string& url, const HttpSettings& options,
                     std::chrono::milliseconds total, const std::atomic<bool>& cancelled,
                     std::function<bool(std::string_view)> onData) {
    Transfer transfer;
    transfer.cancelled = &cancelled;
    transfer.onData = std::move(onData);
    std::string current = url;
    for (int redirects = 0;; ++redirects) {
        FetchResult result = FetchOnce(current, options, total, transfer);
        if (result.redirect.empty()) return result;
        if (redirects == 5) {
            result.error = "more than 5 redirects";
        } else if (!SameOrigin(url, result.redirect)) {
            result.error = "redirected to " + result.redirect + ", another origin; not followed";
        } else {
            current = result.redirect;
            continue;
        }
        result.outcome = FetchOutcome::HttpError;
        return result;
    }
}

FetchResult FetchText(const std::string& url, size_t limit, const HttpSettings& settings,
                      std::chrono::milliseconds total, const std::atomic<bool>& cancelled,
                      std::string* body, bool* tooLarge) {
    *tooLarge = false;
    return FetchUrl(url, settings, total, cancelled, [&](std::string_view data) {
        if (body->size() + data.size() > limit) {
            *tooLarge = true;
            return false;
        }
        body->append(data);
        return true;
    });
}

// The base address of the update server: "http://" or "https://", a host,
// no blanks or control characters; trailing slashes dropped.
bool CleanServerAddress(std::string_view text, std::string* server) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    while (!text.empty() && text.back() == '/') text.remove_suffix(1);
    size_t scheme = StartsWithNoCase(text, "https://")  ? 8
                    : StartsWithNoCase(text, "http://") ? 7
                                                        : 0;
    if (scheme == 0 || text.size() == scheme) return false;
    for (char c : text) {
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
    }
    *server = std::string(text);
    return true;
}

}  // namespace tolvane
