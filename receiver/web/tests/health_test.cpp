// SPDX-License-Identifier: GPL-3.0-or-later
// The station's health at the top of the page and in /state.json: figures for
// programs, plain words for people, the bad news marked.
#include <gtest/gtest.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cmath>
#include <memory>
#include <string>

#include "receiver/web/tests/raw_client.h"
#include "receiver/web/web_view.h"

namespace {

using web::testing::Client;

struct HealthCase {
    const char* Name;
    web::StationHealth Health;
    const char* Bad;        // the one line marked, or "" for none
    const char* Words = ""; // a line that must be there
};

web::StationHealth Healthy() {
    web::StationHealth h;
    h.InputDbfs = -12.34;
    h.Locked = true;
    h.Logging = true;
    h.Snapshots = true;
    h.UptimeS = 3 * 3600 + 125;
    h.FreeBytes = 25LL * 1000 * 1000 * 1000;
    h.DaysLeft = 412.0;
    return h;
}

HealthCase With(const char* name, const char* bad, void (*change)(web::StationHealth&)) {
    web::StationHealth h = Healthy();
    change(h);
    return {name, h, bad};
}

class PageHealth : public ::testing::TestWithParam<HealthCase> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        config_.Port = 0;
        config_.WakePauseMs = 0;
        config_.Folders = {{QStringLiteral("logs"), dir_.path()}};
        config_.LogFolder = dir_.path();
        view_ = std::make_unique<web::WebView>(config_);
        QString error;
        ASSERT_TRUE(view_->Start(error)) << error.toStdString();
    }
    QTemporaryDir dir_;
    web::WebViewConfig config_;
    std::unique_ptr<web::WebView> view_;
};

TEST_P(PageHealth, IsToldAtTheTopInWordsAndInTheStateAsFigures) {
    web::BlockFacts facts;
    facts.Station = QStringLiteral("Hilltop <north>");
    facts.Health = GetParam().Health;
    view_->PublishBlock(facts);

    Client client(view_->Port());
    const QJsonObject state =
        QJsonDocument::fromJson(QByteArray::fromStdString(client.Get("/state.json").Body)).object();
    EXPECT_EQ(state["station"].toString(), facts.Station);
    EXPECT_TRUE(state["title"].toString().startsWith(facts.Station));
    const QJsonObject health = state["health"].toObject();
    const web::StationHealth& h = facts.Health;
    EXPECT_EQ(health["input_dbfs"].isNull(), !h.InputDbfs);
    if (h.InputDbfs) {
        EXPECT_DOUBLE_EQ(health["input_dbfs"].toDouble(), *h.InputDbfs);
    }
    EXPECT_EQ(health["clipping"].toBool(), h.Clipping);
    EXPECT_EQ(health["locked"].toBool(), h.Locked);
    EXPECT_EQ(health["log"]["ok"].toBool(), h.LogError.isEmpty());
    EXPECT_EQ(health["log"]["error"].toString(), h.LogError);
    EXPECT_EQ(health["snapshots"]["error"].toString(), h.SnapshotError);
    EXPECT_EQ(health["uptime_s"].toInteger(), h.UptimeS);
    EXPECT_EQ(health["free_bytes"].toInteger(), h.FreeBytes);
    EXPECT_EQ(health["clock_synchronised"].toBool(), h.ClockSynchronised);
    // A network input's losses in figures and in words; none for other inputs.
    EXPECT_EQ(health["network"].isNull(), !h.Network);
    if (h.Network) {
        EXPECT_EQ(health["network"]["losses"].toInteger(), h.Network->Losses);
        EXPECT_EQ(health["network"]["filled_ms"].toDouble(), std::round(h.Network->FilledMs));
        EXPECT_EQ(health["network"]["filled_blocks"].toInteger(), h.Network->FilledBlocks);
        QStringList words;
        for (const QJsonValue line : health["lines"].toArray())
            words << line["text"].toString();
        EXPECT_TRUE(words.join(u'|').contains(QString::fromUtf8(GetParam().Words)))
            << words.join(u'|').toStdString();
    }
    QStringList bad;
    for (const QJsonValue line : health["lines"].toArray())
        if (line["bad"].toBool()) bad << line["text"].toString();
    if (*GetParam().Bad == '\0') {
        EXPECT_TRUE(bad.isEmpty()) << bad.join(u'|').toStdString();
    } else {
        ASSERT_EQ(bad.size(), 1) << bad.join(u'|').toStdString();
        EXPECT_TRUE(bad.front().contains(QString::fromUtf8(GetParam().Bad)))
            << bad.front().toStdString();
    }

    // The page: the station in its title, the health first, the bad line red.
    const std::string page = client.Get("/").Body;
    EXPECT_NE(page.find("<title>Hilltop &lt;north&gt;: Stanag 4285 Receiver"), std::string::npos);
    const size_t top = page.find("<ul id=\"health\">");
    ASSERT_NE(top, std::string::npos);
    EXPECT_LT(top, page.find("id=\"client\""));
    EXPECT_LT(top, page.find("href=\"/files/logs/\""));
    EXPECT_EQ(page.find("class=\"bad\"") != std::string::npos, *GetParam().Bad != '\0');
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PageHealth,
    ::testing::Values(
        HealthCase{"Healthy", Healthy(), ""},
        With("Clipping", "CLIPPING (peak 0.0 dBFS)",
             [](web::StationHealth& h) {
                 h.InputDbfs = 0.0;
                 h.Clipping = true;
             }),
        With("LogFull",
             "Block log: NOT BEING SAVED: cannot write logs/propmon-2026-12-09.csv: No "
             "space left on device",
             [](web::StationHealth& h) {
                 h.LogError = "cannot write logs/propmon-2026-12-09.csv: No space left on device";
             }),
        With("SnapshotsFailing", "Snapshots: NOT BEING SAVED: cannot write Scattergrams/",
             [](web::StationHealth& h) {
                 h.SnapshotError = "cannot write Scattergrams/010203scattergram.BMP: Permission "
                                   "denied";
             }),
        With("DiskNearlyFull", "about 2.5 days",
             [](web::StationHealth& h) {
                 h.FreeBytes = 900LL * 1000 * 1000;
                 h.DaysLeft = 2.5;
             }),
        With("ClockUnsynced", "Clock: NOT SYNCHRONISED",
             [](web::StationHealth& h) { h.ClockSynchronised = false; }),
        With("NoLevelYet", "", [](web::StationHealth& h) { h.InputDbfs.reset(); }),
        HealthCase{"NetworkLosses",
                   [] {
                       web::StationHealth h = Healthy();
                       h.Network = {.Losses = 41, .FilledMs = 874.4, .FilledBlocks = 47, .Late = 2};
                       return h;
                   }(),
                   "",
                   "Network: 41 losses, 874 ms filled with silence (47 blocks not trusted); 2 "
                   "late"},
        HealthCase{"NetworkClean",
                   [] {
                       web::StationHealth h = Healthy();
                       h.Network = {.Losses = 0, .FilledMs = 0, .FilledBlocks = 0, .Late = 0};
                       return h;
                   }(),
                   "", "Network: nothing lost"}),
    [](const ::testing::TestParamInfo<HealthCase>& info) { return info.param.Name; });

} // namespace
