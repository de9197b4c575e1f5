#include "settings/content_limits.h"

#include <charconv>
#include <string>

#include "settings/host_settings.h"

namespace tolvane {
namespace {

// A positive whole number, or nothing.
bool PositiveNumber(const std::string& text, uint64_t* value) {
    uint64_t parsed = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error != std::errc() || end != text.data() + text.size() || parsed == 0) return false;
    *value = parsed;
    return true;
}

std::string ReadFromHost(std::string_view name) {
    return ReadHostSetting(name).value;
}

}  // namespace

ContentLimits ContentLimitsFrom(std::string (*read)(std::string_view name)) {
    ContentLimits limits;
    limits.enabled = read("ContentScan") != "0";
    limits.everyFile = read("ContentScanEveryFile") == "1";
    uint64_t number = 0;
    // Megabytes beyond 2^40 would overflow the byte count; they mean "no cap".
    constexpr uint64_t kMaxMegabytes = uint64_t{1} << 40;
    if (PositiveNumber(read("ContentYaraCapMB"), &number))
        limits.yaraCap = number >= kMaxMegabytes ? UINT64_MAX : number << 20;
    if (PositiveNumber(read("ContentHashCapMB"), &number))
        limits.hashCap = number >= kMaxMegabytes ? UINT64_MAX : number << 20;
    if (PositiveNumber(read("ContentYaraTimeout"), &number))
        limits.yaraTimeoutSeconds = static_cast<int>(number > 3600 ? 3600 : number);
    return limits;
}

ContentLimits ReadContentLimits() {
    return ContentLimitsFrom(&ReadFromHost);
}

}  // namespace tolvane
