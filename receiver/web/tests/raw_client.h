// SPDX-License-Identifier: GPL-3.0-or-later
// A plain TCP client for the web view's tests: requests are written byte for
// byte (no library tidies a path or a method on the way) and answers read
// back by their Content-Length.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include <gtest/gtest.h>

namespace web::testing {

using namespace std::chrono_literals;

// A connection to the server that writes raw bytes and reads answers.
class Client {
  public:
    // From `source` (an address of 127.0.0.0/8, host order) when given.
    explicit Client(uint16_t port, uint32_t source = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (source != 0) {
            sockaddr_in from{};
            from.sin_family = AF_INET;
            from.sin_addr.s_addr = htonl(source);
            ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { ::close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Connected() const { return connected_; }
    int Fd() const { return fd_; }
    void Send(const std::string& bytes) {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // Up to `count` more bytes, waiting at most `wait`; empty at the end of
    // the connection or when nothing came.
    std::string Receive(size_t count, std::chrono::milliseconds wait = 5000ms) {
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(wait.count())) <= 0) return {};
        std::string data(count, '\0');
        const ssize_t got = ::recv(fd_, data.data(), count, 0);
        data.resize(got > 0 ? static_cast<size_t>(got) : 0);
        return data;
    }
    // True when the server ended the connection within `wait`.
    bool Ended(std::chrono::milliseconds wait) {
        const auto until = std::chrono::steady_clock::now() + wait;
        while (std::chrono::steady_clock::now() < until) {
            pollfd ready{fd_, POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0) continue;
            char byte[4096];
            if (::recv(fd_, byte, sizeof byte, 0) <= 0) return true;
        }
        return false;
    }

    struct Answer {
        int Status = 0;
        std::map<std::string, std::string> Headers; // names in lower case
        std::string Body;
    };
    // Reads one answer; a HEAD answer has no body whatever its length says.
    Answer Read(bool head = false) {
        Answer answer;
        while (buffer_.find("\r\n\r\n") == std::string::npos) {
            const std::string more = Receive(65536);
            if (more.empty()) return answer;
            buffer_ += more;
        }
        const size_t end = buffer_.find("\r\n\r\n");
        const std::string headText = buffer_.substr(0, end);
        buffer_.erase(0, end + 4);
        size_t lineEnd = headText.find("\r\n");
        answer.Status = std::stoi(headText.substr(9, 3));
        while (lineEnd != std::string::npos) {
            const size_t next = headText.find("\r\n", lineEnd + 2);
            const std::string line = headText.substr(lineEnd + 2, next - lineEnd - 2);
            const size_t colon = line.find(':');
            std::string name = line.substr(0, colon);
            for (char& c : name)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            answer.Headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
            lineEnd = next;
        }
        const size_t length = head ? 0 : std::stoul(answer.Headers["content-length"]);
        while (buffer_.size() < length) {
            const std::string more = Receive(65536);
            if (more.empty()) break;
            buffer_ += more;
        }
        answer.Body = buffer_.substr(0, length);
        buffer_.erase(0, length);
        return answer;
    }
    Answer Get(const std::string& target, const std::string& method = "GET") {
        Send(method + " " + target + " HTTP/1.1\r\nHost: station\r\n\r\n");
        return Read(method == "HEAD");
    }
    const std::string& Unread() const { return buffer_; }

  private:
    int fd_ = -1;
    bool connected_ = false;
    std::string buffer_;
};

} // namespace web::testing
