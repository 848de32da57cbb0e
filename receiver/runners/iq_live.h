// SPDX-License-Identifier: GPL-3.0-or-later
// propmon --headless --input stdin:RATE:cu8|cs16|cf32 --tune HZ|--offset HZ...:
// raw IQ from an SDR program's pipe, one live receiver per tuned carrier, all
// fed by one filter bank.  Each receiver is a whole headless receiver (block
// log, channel table, auto-saved grams, settings file) in a folder of its own
// named by its carrier ("7104000Hz/", below --log DIR or the working folder).
#pragma once

#include <QString>
#include <QStringList>

#include "receiver/io/iq_samples.h"

namespace runners {

// The IQ sample type of "stdin:RATE:cu8|cs16|cf32" (the value of --input);
// false for any other input.
bool IsLiveIqInput(const QString& input, io::IqSampleType& type);

// True when the arguments ask for raw IQ on standard input.
bool AsksLiveIq(const QStringList& arguments);

// Runs the receivers until the pipe ends or SIGTERM, SIGINT or SIGHUP.
// Exit status: 0 at the end, 1 on a failure (told first), 2 bad usage.
int RunIqLive(int argc, char** argv);

} // namespace runners
