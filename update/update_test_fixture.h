// Test support for the update tests: a temporary prefix, a local update
// server named in the UpdateServer setting of the user's own host settings
// (a temporary $XDG_CONFIG_HOME), the library configured for both, and an
// event loop on the test's thread.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "definitions/container.h"
#include "host/sha256.h"
#include "machine/machine.h"
#include "settings/host_settings.h"
#include "testing/scoped_env.h"
#include "testing/temp_folder.h"
#include "testing/temp_prefix.h"
#include "update/test_http_server.h"
#include "update/test_signing.h"
#include "update/update_description.h"
#include "update/update_event_loop.h"
#include "update/update_service.h"

namespace tolvane::testing {

// Records what reaches a receiving window, and on which thread.
struct RecordingHandler : UpdateNotifyHandler {
    void HandleUpdateNotify(const UpdateNotifyMessage& message) override {
        messages.push_back(message);
        threads.push_back(std::this_thread::get_id());
    }
    std::vector<int> Codes() const {
        std::vector<int> codes;
        for (const auto& message : messages) codes.push_back(message.code);
        return codes;
    }
    std::vector<UpdateNotifyMessage> messages;
    std::vector<std::thread::id> threads;
};

class UpdateTest : public ::testing::Test {
  protected:
    // The service is there before the fixtures built on this one make their
    // members (an UpdateClient takes it).
    UpdateTest() {
        // The local server is asked directly, never through a proxy.
        for (const char* name :
             {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
            unsetenv(name);
        }
        machine_ = prefix_.Open();
        UpdateServiceOptions options;
        options.machine = machine_.get();
        options.log = [this](const std::string& line) {
            std::lock_guard lock(logMutex_);
            logs_.push_back(line);
        };
        options.connectTimeout = std::chrono::milliseconds(3000);
        options.queryTimeout = std::chrono::milliseconds(10000);
        options.downloadTimeout = std::chrono::milliseconds(20000);
        options.trustedKeys.push_back(TestUpdateKey().publicPem);
        service_ = std::make_unique<UpdateService>(options);
    }

    void SetUp() override { SetServer(server_.BaseUrl()); }
    void TearDown() override { service_->Shutdown(); }

    UpdateService& service() { return *service_; }

    // The update server of the user's host settings.
    void SetServer(const std::string& address) {
        ASSERT_EQ(WriteUserHostSetting("UpdateServer", address), OwnFileState::Usable);
    }
    // The machine's own UpdateServer value (which must be ignored).
    void SetMachineServer(const std::string& address) {
        RegKey key;
        ASSERT_EQ(machine_->registry().CreateKey(Registry::Root(RootKey::LocalMachine),
                                                 "SOFTWARE\\Tolvane", 0, &key),
                  ERROR_SUCCESS);
        ASSERT_EQ(machine_->registry().SetValue(key, "UpdateServer", REG_SZ, address),
                  ERROR_SUCCESS);
    }

    static std::string Description(const std::string& version, const std::string& file,
                                   const std::string& content,
                                   const std::string& product = kDefinitionsProduct,
                                   const std::string& date = "2026-12-09") {
        return "tolvane-update 1\nversion: " + version + "\nfile: " + file +
               "\nsize: " + std::to_string(content.size()) + "\nsha256: " + Sha256Hex(content) +
               "\ndate: " + date + "\nproduct: " + product + "\n";
    }

    // The server offers the description with its signature by the test key.
    void SetDescription(const std::string& path, TestHttpServer::Response response) {
        server_.Set(path + ".sig", SignatureFile(response.body));
        server_.Set(path, std::move(response));
    }
    void SetDescription(const std::string& path, std::string text) {
        TestHttpServer::Response response;
        response.body = std::move(text);
        SetDescription(path, std::move(response));
    }

    // The server offers content as file under the description path, signed.
    void Offer(const std::string& descriptionPath, const std::string& version,
               const std::string& file, const std::string& content) {
        const bool program = descriptionPath == "/tolvane/updatecore.txt";
        SetDescription(
            descriptionPath,
            Description(version, file, content, program ? kProgramProduct : kDefinitionsProduct));
        server_.Set(file, content);
    }

    // A database.db that loads, with the given version.
    static std::string Database(const std::string& version) {
        std::string stored;
        EXPECT_TRUE(EncodeContainer("<NA VERSION=\"" + version +
                                        "\"><SW NAME=\"Demo\"><DIRECTORIES>"
                                        "<DIR NAME=\"%temp%\\demo\"/></DIRECTORIES></SW></NA>",
                                    &stored));
        return stored;
    }

    // Runs the test thread's event loop until done() holds (or 15 s pass).
    bool RunUntil(const std::function<bool()>& done) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (!done()) {
            if (std::chrono::steady_clock::now() > until) return false;
            loop_.RunOne(std::chrono::milliseconds(20));
        }
        return true;
    }

    // Lets the library finish whatever is pending and delivers what it posted.
    void Settle() {
        service_->WaitIdle();
        loop_.RunPending();
    }

    std::string AppFile(const std::string& name) const {
        return prefix_.Host("drive_c/Program Files/Tolvane/" + name);
    }
    // The names in the Updates folder.
    std::vector<std::string> UpdatesFolder() const {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(AppFile("Updates"), error)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }
    std::string ReadHost(const std::string& path) const { return testing::ReadHostFile(path); }
    std::vector<std::string> Logs() {
        std::lock_guard lock(logMutex_);
        return logs_;
    }
    bool LogHas(const std::string& part) {
        for (const auto& line : Logs()) {
            if (line.find(part) != std::string::npos) return true;
        }
        return false;
    }

    TempFolder config_{"tolvane-config"};
    ScopedEnv configHome_{"XDG_CONFIG_HOME", config_.path().c_str()};
    TempPrefix prefix_;
    std::unique_ptr<Machine> machine_;
    TestHttpServer server_;
    UpdateEventLoop loop_;
    std::mutex logMutex_;
    std::vector<std::string> logs_;
    std::unique_ptr<UpdateService> service_;
};

}  // namespace tolvane::testing
