// ResetBrowserSettings: puts the browser's start, search and prefix settings
// back to the browser's defaults after a removal met hijacked values. Asks
// first; the previous values are not saved.
#pragma once

#include <string>
#include <string_view>

namespace tolvane {

class Registry;
class SettingsStore;
class RemovalView;

// The browser maker's default pages. They are settings of ours: the values
// below stand unless HKLM\SOFTWARE\Tolvane holds "DefaultSearchPage" or
// "DefaultHomePage".
inline constexpr const char* kDefaultSearchPageSetting = "DefaultSearchPage";
inline constexpr const char* kDefaultHomePageSetting = "DefaultHomePage";
inline constexpr const char* kDefaultSearchPage =
    "http://www.microsoft.com/isapi/redir.dll?prd=ie&ar=iesearch";
inline constexpr const char* kDefaultHomePage =
    "http://www.microsoft.com/isapi/redir.dll?prd=ie&pver=6&ar=msnhome";

struct BrowserDefaults {
    std::string searchPage = kDefaultSearchPage;
    std::string homePage = kDefaultHomePage;
};
// The defaults with the settings' values where they are not empty.
BrowserDefaults ReadBrowserDefaults(const SettingsStore& settings);

// Asks; on Yes performs the 48 operations in their order (each failure is
// ignored) and reports "Tolvane had restored your IE Settings to default.".
// True when the user agreed.
bool ResetBrowserSettings(Registry& registry, RemovalView& view, const BrowserDefaults& defaults);

// Whether the reset writes this value (key path without a root, value name;
// both without regard to case): a start, search or prefix setting of the
// browser, which removal leaves to the reset rather than deleting.
bool ResetWritesValue(std::string_view keyPath, std::string_view valueName);

// The 48 operations alone, without questions.
void ApplyBrowserDefaults(Registry& registry, const BrowserDefaults& defaults);

}  // namespace tolvane
