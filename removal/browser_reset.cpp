#include "removal/browser_reset.h"

#include "base/codepage.h"
#include "machine/registry.h"
#include "removal/removal_view.h"
#include "settings/settings_store.h"

namespace tolvane {
namespace {

constexpr const char* kDefaultPrefix =
    "SOFTWARe\\Microsoft\\Windows\\CurrentVersion\\URL\\DefaultPrefix";
constexpr const char* kPrefix = "SOFTWARe\\Microsoft\\Windows\\CurrentVersion\\URL\\Prefix";
constexpr const char* kStyles = "Software\\Microsoft\\Internet Explorer\\Styles";
constexpr const char* kBrowser = "Software\\Microsoft\\Internet Explorer";
constexpr const char* kSearch = "Software\\Microsoft\\Internet Explorer\\Search";
constexpr const char* kMainWrites = "SOFTWARE\\Microsoft\\Internet Explorer\\Main";
constexpr const char* kMainDeletions = "Software\\Microsoft\\Internet Explorer\\Main";

constexpr RootKey LM = RootKey::LocalMachine;
constexpr RootKey CU = RootKey::CurrentUser;

enum class Kind { Set, DeleteValue, DeleteKey };
enum class Data { Text, SearchPage, HomePage };

struct Operation {
    Kind kind;
    RootKey root;
    const char* key;
    const char* name;
    const char* text = "";
    Data data = Data::Text;
};

// In the order they are carried out.
const Operation kOperations[] = {
    {Kind::Set, LM, kDefaultPrefix, "", "http://"},
    {Kind::Set, LM, kPrefix, "www", "http://"},
    {Kind::Set, LM, kPrefix, "home", "http://"},
    {Kind::Set, LM, kPrefix, "mosaic", "http://"},
    {Kind::Set, LM, kPrefix, "ftp", "ftp://"},
    {Kind::Set, LM, kPrefix, "gopher", "gopher://"},
    {Kind::DeleteValue, LM, kStyles, "User Stylesheet"},
    {Kind::DeleteValue, LM, kStyles, "Use My Stylesheet"},
    {Kind::DeleteValue, CU, kStyles, "User Stylesheet"},
    {Kind::DeleteValue, CU, kStyles, "Use My Stylesheet"},
    {Kind::DeleteKey, LM, kBrowser, "SearchURL"},
    {Kind::DeleteKey, CU, kBrowser, "SearchURL"},
    {Kind::DeleteValue, LM, kBrowser, "SearchURL"},
    {Kind::DeleteValue, CU, kBrowser, "SearchURL"},
    {Kind::DeleteValue, LM, kBrowser, "SearchAssistant"},
    {Kind::DeleteValue, CU, kBrowser, "SearchAssistant"},
    {Kind::DeleteValue, LM, kSearch, "SearchAssistant"},
    {Kind::DeleteValue, CU, kSearch, "SearchAssistant"},
    {Kind::DeleteValue, LM, kSearch, "CustomizeSearch"},
    {Kind::DeleteValue, CU, kSearch, "CustomizeSearch"},
    {Kind::DeleteValue, LM, kBrowser, "Search Bar"},
    {Kind::DeleteValue, CU, kBrowser, "Search Bar"},
    {Kind::DeleteValue, LM, kBrowser, "Search Page"},
    {Kind::DeleteValue, CU, kBrowser, "Search Page"},
    {Kind::Set, LM, kMainWrites, "Start Page", "about:blank"},
    {Kind::Set, CU, kMainWrites, "Start Page", "about:blank"},
    {Kind::DeleteValue, LM, kMainDeletions, "Search Page_bak"},
    {Kind::DeleteValue, CU, kMainDeletions, "Search Page_bak"},
    {Kind::DeleteValue, LM, kMainDeletions, "Start Page_bak"},
    {Kind::DeleteValue, CU, kMainDeletions, "Start Page_bak"},
    {Kind::DeleteValue, LM, kMainDeletions, "SearchURL"},
    {Kind::DeleteValue, CU, kMainDeletions, "SearchURL"},
    {Kind::DeleteValue, LM, kMainDeletions, "SearchAssistant"},
    {Kind::DeleteValue, CU, kMainDeletions, "SearchAssistant"},
    {Kind::Set, LM, kMainWrites, "Search Page", "", Data::SearchPage},
    {Kind::Set, CU, kMainWrites, "Search Page", "", Data::SearchPage},
    {Kind::DeleteValue, LM, kMainDeletions, "Search Bar"},
    {Kind::DeleteValue, CU, kMainDeletions, "Search Bar"},
    {Kind::DeleteValue, LM, kMainDeletions, "Local Page"},
    {Kind::DeleteValue, CU, kMainDeletions, "Local Page"},
    {Kind::Set, LM, kMainWrites, "Default_Page_URL", "", Data::HomePage},
    {Kind::Set, CU, kMainWrites, "Default_Page_URL", "", Data::HomePage},
    {Kind::Set, LM, kMainWrites, "Default_Search_URL", "", Data::SearchPage},
    {Kind::Set, CU, kMainWrites, "Default_Search_URL", "", Data::SearchPage},
    {Kind::DeleteValue, LM, kMainDeletions, "CustomizeSearch"},
    {Kind::DeleteValue, CU, kMainDeletions, "CustomizeSearch"},
    {Kind::DeleteValue, LM, kBrowser, "CustomizeSearch"},
    {Kind::DeleteValue, CU, kBrowser, "CustomizeSearch"},
};
static_assert(sizeof kOperations / sizeof kOperations[0] == 48);

void Perform(Registry& registry, const Operation& op, const BrowserDefaults& defaults) {
    RegKey key;
    switch (op.kind) {
        case Kind::Set: {
            if (registry.CreateKey(Registry::Root(op.root), op.key, KEY_WRITE, &key) !=
                ERROR_SUCCESS) {
                return;
            }
            std::string data = op.data == Data::SearchPage ? defaults.searchPage
                               : op.data == Data::HomePage ? defaults.homePage
                                                           : op.text;
            data += '\0';
            registry.SetValue(key, op.name, REG_SZ, data);
            break;
        }
        case Kind::DeleteValue:
            if (registry.OpenKey(Registry::Root(op.root), op.key,
                                 KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE,
                                 &key) != ERROR_SUCCESS) {
                return;
            }
            registry.DeleteValue(key, op.name);
            break;
        case Kind::DeleteKey:
            if (registry.OpenKey(Registry::Root(op.root), op.key,
                                 KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE,
                                 &key) != ERROR_SUCCESS) {
                return;
            }
            registry.DeleteKey(key, op.name);
            break;
    }
    registry.CloseKey(key);
}

}  // namespace

BrowserDefaults ReadBrowserDefaults(const SettingsStore& settings) {
    BrowserDefaults defaults;
    std::string search = settings.ReadString(kDefaultSearchPageSetting);
    std::string home = settings.ReadString(kDefaultHomePageSetting);
    if (!search.empty()) defaults.searchPage = search;
    if (!home.empty()) defaults.homePage = home;
    return defaults;
}

bool ResetWritesValue(std::string_view keyPath, std::string_view valueName) {
    for (const Operation& op : kOperations) {
        if (op.kind == Kind::Set && EqualsNoCase(op.key, keyPath) &&
            EqualsNoCase(op.name, valueName))
            return true;
    }
    return false;
}

void ApplyBrowserDefaults(Registry& registry, const BrowserDefaults& defaults) {
    for (const Operation& op : kOperations) Perform(registry, op, defaults);
}

bool ResetBrowserSettings(Registry& registry, RemovalView& view, const BrowserDefaults& defaults) {
    if (view.Ask({"Tolvane",
                  "Tolvane have found that some of the IE default settings have been "
                  "changed by some of the spyware.\nTolvane can not restore your previous "
                  "settings.\nDo you want to reset all IE settings to the default.",
                  PromptButtons::YesNo, PromptIcon::Question}) != PromptAnswer::Yes) {
        return false;
    }
    ApplyBrowserDefaults(registry, defaults);
    view.Ask({"Tolvane", "Tolvane had restored your IE Settings to default.", PromptButtons::Ok,
              PromptIcon::Information});
    return true;
}

}  // namespace tolvane
