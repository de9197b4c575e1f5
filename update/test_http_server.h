// Test support: a small HTTP/1.1 server on 127.0.0.1 at a free port, run on
// its own threads by the test that owns it. Serves fixed responses by path
// (404 for the rest), optionally slowly, cut short, as a redirect or held
// until the test releases it, and records the paths asked for. Stopped by
// its destructor.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tolvane::testing {

class TestHttpServer {
  public:
    struct Response {
        int status = 200;
        std::string body;
        // Content-Length sent; more than the body cuts the answer short.
        std::optional<size_t> declaredLength;
        // Sent in pieces of chunkSize with a pause before each (0: at once).
        size_t chunkSize = 0;
        std::chrono::milliseconds chunkDelay{0};
        std::string location;  // a Location header (redirects)
    };

    TestHttpServer() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        if (listener_ < 0) throw std::runtime_error("socket");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener_, 16) != 0) {
            close(listener_);
            throw std::runtime_error("bind/listen");
        }
        socklen_t length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }

    ~TestHttpServer() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        released_.notify_all();
        acceptor_.join();
        for (auto& connection : connections_) connection.join();
        close(listener_);
    }

    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }
    int port() const { return port_; }

    void Set(const std::string& path, Response response) {
        std::lock_guard lock(mutex_);
        responses_[path] = std::move(response);
    }
    void Set(const std::string& path, std::string body) {
        Response response;
        response.body = std::move(body);
        Set(path, std::move(response));
    }
    // Answers to path wait (the request already recorded) until Release(path),
    // so that a test sees what comes before the answer.
    void Hold(const std::string& path) {
        std::lock_guard lock(mutex_);
        held_.insert(path);
    }
    void Release(const std::string& path) {
        {
            std::lock_guard lock(mutex_);
            held_.erase(path);
        }
        released_.notify_all();
    }
    std::vector<std::string> Requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    // Bytes of bodies sent so far, over all answers.
    size_t BytesSent() const { return bytesSent_; }

    // A port on 127.0.0.1 where nothing listens.
    static int ClosedPort() {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        close(fd);
        return ntohs(address.sin_port);
    }

  private:
    void AcceptLoop() {
        while (!stopping_) {
            pollfd entry{listener_, POLLIN, 0};
            if (poll(&entry, 1, 20) <= 0) continue;
            int client = accept(listener_, nullptr, nullptr);
            if (client < 0) continue;
            connections_.emplace_back([this, client] { Serve(client); });
        }
    }

    void Serve(int client) {
        std::string request;
        char buffer[2048];
        while (request.find("\r\n\r\n") == std::string::npos && request.size() < 16384 &&
               !stopping_) {
            pollfd entry{client, POLLIN, 0};
            if (poll(&entry, 1, 20) <= 0) continue;
            ssize_t got = recv(client, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            request.append(buffer, static_cast<size_t>(got));
        }
        std::string path;
        size_t space = request.find(' ');
        if (space != std::string::npos) {
            size_t end = request.find(' ', space + 1);
            path = request.substr(space + 1, end == std::string::npos ? end : end - space - 1);
        }
        Response response;
        {
            std::unique_lock lock(mutex_);
            requests_.push_back(path);
            released_.wait(lock, [&] { return stopping_ || !held_.count(path); });
            auto found = responses_.find(path);
            if (found != responses_.end()) {
                response = found->second;
            } else {
                response.status = 404;
                response.body = "<html><body>Not Found</body></html>";
            }
        }
        std::string head =
            "HTTP/1.1 " + std::to_string(response.status) + " Answer\r\n" + "Content-Length: " +
            std::to_string(response.declaredLength.value_or(response.body.size())) + "\r\n" +
            (response.location.empty() ? "" : "Location: " + response.location + "\r\n") +
            "Connection: close\r\n\r\n";
        if (Send(client, head)) {
            size_t chunk = response.chunkSize ? response.chunkSize : response.body.size();
            for (size_t at = 0; at < response.body.size() && !stopping_; at += chunk) {
                if (response.chunkDelay.count() > 0)
                    std::this_thread::sleep_for(response.chunkDelay);
                std::string piece = response.body.substr(at, chunk);
                if (!Send(client, piece)) break;
                bytesSent_ += piece.size();
            }
        }
        close(client);
    }

    static bool Send(int client, const std::string& data) {
        size_t sent = 0;
        while (sent < data.size()) {
            ssize_t done = send(client, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (done <= 0) return false;
            sent += static_cast<size_t>(done);
        }
        return true;
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<size_t> bytesSent_{0};
    std::thread acceptor_;
    std::vector<std::thread> connections_;  // touched by the acceptor only, then the destructor
    mutable std::mutex mutex_;
    std::condition_variable released_;
    std::map<std::string, Response> responses_;
    std::set<std::string> held_;
    std::vector<std::string> requests_;
};

}  // namespace tolvane::testing
