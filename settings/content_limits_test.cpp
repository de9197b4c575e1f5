#include "settings/content_limits.h"

#include <gtest/gtest.h>

#include <map>

namespace tolvane {
namespace {

std::map<std::string, std::string, std::less<>> gValues;

std::string Read(std::string_view name) {
    auto found = gValues.find(name);
    return found == gValues.end() ? "" : found->second;
}

TEST(ContentLimits, BadValuesKeepTheDefaultsAndHugeCapsDoNotWrap) {
    gValues = {{"ContentYaraCapMB", "-5"},
               {"ContentHashCapMB", "99999999999999"},
               {"ContentYaraTimeout", "2x"},
               {"ContentScanEveryFile", "1"}};
    ContentLimits limits = ContentLimitsFrom(&Read);
    const ContentLimits defaults;
    EXPECT_TRUE(limits.enabled);
    EXPECT_TRUE(limits.everyFile);
    EXPECT_EQ(limits.yaraCap, defaults.yaraCap);
    EXPECT_EQ(limits.hashCap, UINT64_MAX);
    EXPECT_EQ(limits.yaraTimeoutSeconds, defaults.yaraTimeoutSeconds);
    gValues = {{"ContentScan", "0"}, {"ContentYaraCapMB", "8"}};
    limits = ContentLimitsFrom(&Read);
    EXPECT_FALSE(limits.enabled);
    EXPECT_EQ(limits.yaraCap, uint64_t{8} << 20);
}

}  // namespace
}  // namespace tolvane
