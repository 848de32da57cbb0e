// SPDX-License-Identifier: GPL-3.0-or-later
// The web view against clients that hold connections without finishing a
// request (sending a head a byte at a time, or nothing), from one address or
// from many: a real server on a free port and plain sockets from addresses of
// 127.0.0.0/8.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "receiver/web/tests/raw_client.h"
#include "receiver/web/web_view.h"

namespace {

using namespace std::chrono_literals;
using web::testing::Client;

constexpr uint32_t Loopback = 0x7F000001;  // 127.0.0.1
constexpr uint32_t Attacker = 0x7F000002;  // 127.0.0.2
constexpr uint32_t Attackers = 0x7F000100; // 127.0.1.x

class HostileClients : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        ASSERT_TRUE(QDir(dir_.path()).mkpath(QStringLiteral("logs")));
        config_.Address = QHostAddress(QHostAddress::AnyIPv4);
        config_.Port = 0;
        config_.WakePauseMs = 0;
        config_.Folders = {{QStringLiteral("logs"), dir_.filePath(QStringLiteral("logs"))}};
        config_.LogFolder = dir_.filePath(QStringLiteral("logs"));
        config_.Limits.MaxConnections = 12;
        config_.Limits.MaxPerAddress = 4;
        config_.Limits.SweepIntervalMs = 100;
        config_.Limits.HeadTimeoutMs = 600000; // never, unless the slots fill
        config_.Limits.MinHeadTimeoutMs = 1000;
    }
    void Start() {
        view_ = std::make_unique<web::WebView>(config_);
        QString error;
        ASSERT_TRUE(view_->Start(error)) << error.toStdString();
    }
    // A connection that has sent the start of a head and no more.
    std::unique_ptr<Client> Slow(uint32_t source) {
        auto client = std::make_unique<Client>(view_->Port(), source);
        client->Send("GET /state.json HTTP/1.1\r\nHost: x\r\nX-a: ");
        return client;
    }
    // The refusal a turned-away connection reads: a 503 that says when to
    // come back, then the end of the connection (not a reset).
    static void ExpectRefused(Client& client) {
        const Client::Answer answer = client.Read();
        EXPECT_EQ(answer.Status, 503);
        EXPECT_EQ(answer.Headers.count("retry-after"), 1u);
        EXPECT_FALSE(answer.Body.empty());
        EXPECT_TRUE(client.Ended(3000ms));
    }

    QTemporaryDir dir_;
    web::WebViewConfig config_;
    std::unique_ptr<web::WebView> view_;
};

TEST_F(HostileClients, OneAddressHoldsNoMoreThanItsShare) {
    Start();
    std::vector<std::unique_ptr<Client>> slow;
    for (int i = 0; i < 4; ++i)
        slow.push_back(Slow(Attacker));
    Client normal(view_->Port(), Loopback);
    ASSERT_EQ(normal.Get("/state.json").Status, 200);
    // A fifth slow connection from the same address takes the slot of the
    // oldest of its own, which is told so; the others keep theirs.
    slow.push_back(Slow(Attacker));
    ExpectRefused(*slow.front());
    for (size_t i = 1; i < slow.size(); ++i)
        EXPECT_TRUE(slow[i]->Receive(1, 200ms).empty()) << i;
    EXPECT_EQ(normal.Get("/state.json").Status, 200);
}

TEST_F(HostileClients, WholeRequestsTakeTheSlotsOfUnfinishedOnes) {
    Start();
    // Every slot held by a trickling head, from addresses of their own.
    std::vector<std::unique_ptr<Client>> slow;
    for (uint32_t i = 0; i < 12; ++i)
        slow.push_back(Slow(Attackers + i));
    // Clients with whole requests are answered all the same (and keep their
    // connections), and every connection turned away for them reads why.
    std::vector<std::unique_ptr<Client>> normal;
    for (uint32_t i = 0; i < 6; ++i) {
        normal.push_back(std::make_unique<Client>(view_->Port(), Loopback + 10 + i));
        EXPECT_EQ(normal.back()->Get("/state.json").Status, 200) << i;
    }
    int refused = 0;
    for (auto& client : slow)
        // Told before the newcomer was answered: already here.
        if (pollfd ready{client->Fd(), POLLIN, 0}; ::poll(&ready, 1, 0) == 1) {
            ExpectRefused(*client);
            ++refused;
            client.reset();
        }
    EXPECT_EQ(refused, 6);
    // With the slots full the heads are given far less time than with the
    // slots free: the slow ones left end with a readable 408.
    for (auto& client : slow)
        if (client) {
            EXPECT_EQ(client->Read(true).Status, 408);
            EXPECT_TRUE(client->Ended(3000ms));
        }
}

TEST_F(HostileClients, AHeadCutShortWhileTheSlotsWereFullStaysShortWhenRefusalsFreeThem) {
    Start();
    // Half the slots taken by heads, the other half by heads begun well over
    // a sweep later: full, every head is given a second.
    std::vector<std::unique_ptr<Client>> early, later;
    for (uint32_t i = 0; i < 6; ++i)
        early.push_back(Slow(Attackers + i));
    std::this_thread::sleep_for(600ms);
    for (uint32_t i = 6; i < 12; ++i)
        later.push_back(Slow(Attackers + i));
    // The early ones' refusals free half the slots, which would give a head
    // begun now minutes; the later ones keep their second all the same.
    for (auto* group : {&early, &later})
        for (auto& client : *group) {
            EXPECT_EQ(client->Read(true).Status, 408);
            EXPECT_TRUE(client->Ended(3000ms));
        }
}

TEST_F(HostileClients, ConnectionsWithWholeRequestsKeepTheirSlotsAndNewcomersReadA503) {
    config_.Limits.MaxConnections = 4;
    Start();
    // Four kept-alive connections, each answered once: none is taken over.
    std::vector<std::unique_ptr<Client>> held;
    for (uint32_t i = 0; i < 4; ++i) {
        held.push_back(std::make_unique<Client>(view_->Port(), Attackers + i));
        ASSERT_EQ(held.back()->Get("/state.json").Status, 200);
    }
    // The newcomer has sent its request before it reads the refusal: the
    // refusal still arrives whole, without a reset.
    Client extra(view_->Port(), Loopback);
    extra.Send("GET /state.json HTTP/1.1\r\nHost: x\r\n\r\n");
    ExpectRefused(extra);
    for (auto& client : held)
        EXPECT_EQ(client->Get("/state.json").Status, 200);
}

} // namespace
