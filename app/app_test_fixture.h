// Test support for the application tests: a temporary prefix with a small
// definitions database installed and traces planted for it, the scripted
// views, and an Application started on them with the real scan engine.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "app/application.h"
#include "app/engine_scan_source.h"
#include "app/views/scripted_views.h"
#include "definitions/container.h"
#include "settings/settings_store.h"
#include "testing/temp_prefix.h"

namespace tolvane::testing {

inline const char* kTestDefinitions =
    "<NA VERSION=\"2.5\" DATE=\"2026-12-01\">\n"
    "<SW NAME=\"Grey Lantern\"><CATEGORY NAME=\"Adware\"/>"
    "<DIRECTORIES><DIR NAME=\"%programfiles%\\Grey Lantern\"/></DIRECTORIES>"
    "<FILES><FILE NAME=\"%windir%\\grey.exe\"/></FILES>"
    "<REGKEYS><REGKEY NAME=\"Software\\Grey Lantern\"/></REGKEYS>"
    "<DANGER NAME=\"High\"/><DESCRIPTION NAME=\"Shows offers.\"/></SW>\n"
    "<SW NAME=\"Blue Moth\"><CATEGORY NAME=\"Hijacker\"/>"
    "<REGVALUES><REGVALUE NAME=\"Software\\Microsoft\\Internet Explorer\\Main\\Start "
    "Page:@:moth.example\"/></REGVALUES>"
    "<HOSTS><HOST NAME=\"ads.moth.example\"/></HOSTS>"
    "<DANGER NAME=\"Medium\"/></SW>\n"
    "</NA>\n";

class AppTest : public ::testing::Test {
  protected:
    void SetUp() override {
        machine_ = prefix_.Open();
        ASSERT_TRUE(machine_);
        std::string stored;
        ASSERT_TRUE(EncodeContainer(kTestDefinitions, &stored));
        prefix_.WriteFile("C:\\Program Files\\Tolvane\\database.db", stored);
    }

    // Plants five objects a Smart Scan lists, in this order: the hosts
    // entry, the start page value, the key, grey.exe, the Grey Lantern folder
    // (and its file).
    void PlantTraces() {
        prefix_.WriteFile("C:\\windows\\system32\\drivers\\etc\\hosts",
                          "127.0.0.1 localhost\r\n10.0.0.1 ads.moth.example\r\n");
        prefix_.WriteFile("C:\\windows\\grey.exe", "MZ");
        prefix_.WriteFile("C:\\Program Files\\Grey Lantern\\gl.dll", "MZ");
        SettingsStore store(machine_->registry());
        RegKey key;
        machine_->registry().CreateKey(Registry::Root(RootKey::LocalMachine),
                                       "Software\\Grey Lantern", KEY_ALL_ACCESS, &key);
        machine_->registry().CreateKey(Registry::Root(RootKey::CurrentUser),
                                       "Software\\Microsoft\\Internet Explorer\\Main",
                                       KEY_ALL_ACCESS, &key);
        machine_->registry().SetValue(key, "Start Page", REG_SZ, "http://www.moth.example/");
    }

    ApplicationOptions Options(const std::string& commandLine = "") {
        ApplicationOptions options;
        options.commandLine = "\"C:\\Program Files\\Tolvane\\Tolvane.exe\"" + commandLine;
        options.shippedDataFolder = shippedFolder_;
        options.scanSource = [](Machine& m, SettingsStore&, ThreatDatabase& db,
                                IgnoreList& list) -> std::unique_ptr<ScanSource> {
            auto source = std::make_unique<EngineScanSource>(m, db, list);
            source->engine().SetRegistryKeyPause(std::chrono::milliseconds(0));
            return source;
        };
        return options;
    }

    ApplicationViews Views() { return {{views_, views_, views_, views_, views_, ui_}, views_}; }

    StartResult StartApp(const std::string& commandLine = "") {
        app_ = std::make_unique<Application>(*machine_, Views(), Options(commandLine));
        StartResult result = app_->Start();
        if (result != StartResult::AlreadyRunning)
            app_->controller().results().SetObserver(&views_);
        return result;
    }
    MainController& controller() { return app_->controller(); }
    SettingsStore& settings() { return app_->settings(); }

    // Runs the window's loop until the scan worker has ended.
    void WaitForScan() {
        ui_.RunUntil([&] { return !controller().WorkerRunning(); });
    }
    std::vector<std::string> RowObjects() {
        std::vector<std::string> objects;
        for (const ListRow& row : controller().results().rows()) objects.push_back(row.object);
        return objects;
    }
    std::string FileText(const std::string& path) {
        std::string text;
        machine_->files().ReadWholeFile(path, &text);
        return text;
    }

    void TearDown() override {
        if (app_) {
            app_->controller().BeginShutdown();
            ui_.RunUntil([&] { return !app_->controller().WorkerRunning(); });
        }
        app_.reset();
    }

    TempPrefix prefix_;
    // The host folder of the shipped databases ("" installs nothing).
    std::string shippedFolder_;
    std::unique_ptr<Machine> machine_;
    ScriptedViews views_;
    TaskQueueUiThread ui_;
    std::unique_ptr<Application> app_;
};

}  // namespace tolvane::testing
