// SPDX-License-Identifier: GPL-3.0-or-later
// The live block log: one CSV file per UTC day, DIR/propmon-YYYY-MM-DD.csv,
// with a header line and then one line per processed block: the UTC time of
// the block's last sample (ISO 8601 with milliseconds) and the per-block
// table's columns.  Rows go in whole or not at all (io::RowAppender): a row
// the disk takes only in part is cut back out, a restart cuts off a row torn
// by a crash before it appends, and the rows are made durable at least every
// 10 s.  A restart appends to the day's file (the header only goes into a new
// file, or again before the rows when the file began with other columns).
//
// Beside it, DIR/channel-YYYY-MM-DD.csv: the channel table (one row a minute,
// analysis/channel_table.h), by the same rules, the day that of the minute's
// start.
#pragma once

#include <QDate>
#include <QString>

#include <cstdint>
#include <string>
#include <utility>

#include "receiver/analysis/block_table.h"
#include "receiver/analysis/channel_table.h"
#include "receiver/io/row_appender.h"
#include "receiver/session/events.h"

namespace session {

// "utc," and the per-block table's header.
std::string BlockLogHeader();
// "2026-12-07T23:59:59.893Z": milliseconds since the epoch as UTC.
std::string UtcStamp(int64_t wallMs);

// Why nothing can be written in `folder` (made first when missing, as the
// log makes it), or an empty string when a file can be made there.
QString UnwritableReason(const QString& folder);

class BlockLog {
  public:
    // Writes below `folder` (made when missing); failures and recoveries go
    // to `problems`.
    BlockLog(QString folder, ProblemReporter& problems);
    ~BlockLog();
    BlockLog(const BlockLog&) = delete;
    BlockLog& operator=(const BlockLog&) = delete;

    // Appends the row stamped `wallMs` to the file of that UTC day.  False
    // when it could not be written (told to `problems`).
    bool Write(const analysis::BlockRow& row, int64_t wallMs);
    // Appends the channel-table row of the minute starting at `minuteMs` to
    // the channel file of that UTC day.
    bool WriteMinute(const analysis::ChannelRow& row, int64_t minuteMs);

    QString Folder() const { return folder_; }
    // The file of a UTC day.
    QString FileOf(const QDate& day) const;
    QString ChannelFileOf(const QDate& day) const;

  private:
    // One of the day files.
    struct DayFile {
        DayFile(const char* prefix, std::string header)
            : Prefix(prefix), Header(std::move(header)) {}
        const char* Prefix;
        std::string Header;
        io::RowAppender File;
        QDate Day;
        QString Announced; // the file "logging ... to" last named
    };
    bool Append(DayFile& file, const std::string& line, int64_t wallMs);
    bool Open(DayFile& file, const QDate& day);
    QString PathOf(const DayFile& file, const QDate& day) const;

    QString folder_;
    ProblemReporter& problems_;
    DayFile blocks_;
    DayFile channel_;
};

} // namespace session
