// The fault and monitor replies and what the form shows for each, in one table:
// the parse's own test (tests/fuzz) reads every row, the poll's (tests/console)
// the rows of a whole reply, so a case added is checked both as parsed and as
// the operator sees it.
#pragma once

#include "frames.h"

#include <QByteArray>
#include <QString>
#include <QTest>

namespace ondrel::replycases {

// A poll reads exactly the reply length it waits for: a shorter reply times it
// out, a longer one leaves its rest to the next exchange.
inline bool Whole(const QByteArray& reply, const frames::Command& command)
{
    return reply.size() == command.replyLength;
}

struct FaultRow
{
    const char* name;
    QByteArray reply;
    QString verdict; // the faults field's text
};

// Columns "reply" (QByteArray) and "verdict" (QString).
inline void AddFaultRows(bool wholeOnly)
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("verdict");
    const QByteArray good(frames::kNoFaultReply);
    const QString fault = QStringLiteral("Error.Please Clear");
    // "\x02" stands apart from the text: "\x020" would read as one hex escape.
    // clang-format off
    const FaultRow rows[] = {
        {"no fault", good, QStringLiteral("No Error")},
        {"a flag in the middle", QByteArray("\x02" "0 0 0 0 1 0 0 0 0\r"), fault},
        {"the last flag", QByteArray("\x02" "0 0 0 0 0 0 0 0 1\r"), fault},
        {"the last flag, as 9", QByteArray("\x02" "0 0 0 0 0 0 0 0 9\r"), fault},
        {"letter O for zero", QByteArray("\x02" "0 0 O 0 0 0 0 0 0\r"), fault},
        {"wrong separator", QByteArray("\x02" "0 0 0,0 0 0 0 0 0\r"), fault},
        {"LF for CR", QByteArray("\x02" "0 0 0 0 0 0 0 0 0\n"), fault},
        {"NUL instead of a space", QByteArray("\x02" "0\0" "0 0 0 0 0 0 0 0\r", 19), fault},
        {"no STX", QByteArray(" 0 0 0 0 0 0 0 0 0\r"), fault},
        {"garbage", QByteArray("ABCDEFGHIJKLMNOPQRS"), fault},
        {"one character more", good + '\r', fault},
        {"last character missing", good.left(18), fault},
        {"empty", QByteArray(), fault},
    };
    // clang-format on
    for (const FaultRow& row : rows)
        if (!wholeOnly || Whole(row.reply, frames::kReadFaults))
            QTest::newRow(row.name) << row.reply << row.verdict;
}

struct MonitorRow
{
    const char* name;
    QByteArray reply;
    bool shown; // the read-outs take the reply's texts; else they keep their last
    QString kilovolts;
    QString microamps;
    QString temperature;
};

// Columns "reply" (QByteArray), "shown" (bool), "kilovolts", "microamps" and
// "temperature" (QString, the read-outs' texts when shown).
inline void AddMonitorRows(bool wholeOnly)
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QString>("kilovolts");
    QTest::addColumn<QString>("microamps");
    QTest::addColumn<QString>("temperature");
    // clang-format off
    const MonitorRow rows[] = {
        {"typical", QByteArray("\x02" "0805 1100 0250 0000\r"), true, "080.5", "1100", "025.0"},
        {"other positions ignored", QByteArray("X0805X1100X0250XXXXXX"),
         true, "080.5", "1100", "025.0"},
        {"leading zeros kept", QByteArray("\x02" "0001 0000 0009 0000\r"),
         true, "000.1", "0000", "000.9"},
        {"non-digits as received", QByteArray("\x02" "AB-C x?yz #Q!% 0000\r"),
         true, "AB-.C", "x?yz", "#Q!.%"},
        {"spaces and signs as received", QByteArray("\x02" "AB-C 9x9  +Z?!\r\r\r\r\r\r"),
         true, "AB-.C", "9x9 ", "+Z?.!"},
        // NUL and 8-bit bytes are shown as the characters they are, keeping the widths.
        {"NUL and 8-bit",
         QByteArray("\x02" "0\0" "05\xb5" "11\xff" "0,02\x80" "50,000\r", 21), true,
         QStringLiteral("0") + QChar(0) + QStringLiteral("0.5"),
         QStringLiteral("11") + QChar(0xFF) + QStringLiteral("0"),
         QStringLiteral("02") + QChar(0x80) + QStringLiteral(".5")},
        {"exactly 15", QByteArray("\x02" "0805 1100 0250"), true, "080.5", "1100", "025.0"},
        {"14 is too short", QByteArray("\x02" "0805 1100 025"), false, "", "", ""},
        {"empty", QByteArray(), false, "", "", ""},
    };
    // clang-format on
    for (const MonitorRow& row : rows)
        if (!wholeOnly || Whole(row.reply, frames::kReadMonitor))
            QTest::newRow(row.name)
                << row.reply << row.shown << row.kilovolts << row.microamps << row.temperature;
}

} // namespace ondrel::replycases
