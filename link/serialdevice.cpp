#include "serialdevice.h"

#include "parity.h"

#include <QStringList>
#include <algorithm>
#include <iterator>

namespace ondrel {

namespace {

// Anything above this is no rate a serial line runs at; it is a typo.
constexpr qint64 kMaxBaud = 4000000;

bool Reject(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

} // namespace

bool ParseSettings(const QString& text, LineSettings* out, QString* error)
{
    const QStringList fields = text.split(QLatin1Char(','));
    if (fields.size() != 4)
        return Reject(error, QStringLiteral("Invalid port settings \"%1\": expected "
                                            "\"baud,parity,data bits,stop bits\", "
                                            "e.g. \"9600,N,8,1\"")
                                 .arg(text));
    const QString baudText = fields[0].trimmed();
    const QString parityText = fields[1].trimmed().toUpper();
    const QString dataText = fields[2].trimmed();
    const QString stopText = fields[3].trimmed();

    LineSettings s;
    bool ok = false;
    const qint64 baud = baudText.toLongLong(&ok);
    // toLongLong accepts a sign; a rate is plain digits.
    if (!ok || baudText.startsWith(QLatin1Char('+')) || baud <= 0 || baud > kMaxBaud)
        return Reject(error, QStringLiteral("Invalid port settings \"%1\": baud rate \"%2\" "
                                            "is not a number from 1 to %3")
                                 .arg(text, baudText)
                                 .arg(kMaxBaud));
    s.baud = qint32(baud);

    const auto parity =
        std::find_if(std::begin(kParities), std::end(kParities), [&](const ParityForms& forms) {
            return parityText.size() == 1 && parityText[0] == QLatin1Char(forms.letter);
        });
    if (parity == std::end(kParities))
        return Reject(error, QStringLiteral("Invalid port settings \"%1\": parity \"%2\" is "
                                            "not one of N, E, O, M, S")
                                 .arg(text, fields[1].trimmed()));
    s.parity = parity->parity;

    if (dataText.size() != 1 || dataText[0] < QLatin1Char('5') || dataText[0] > QLatin1Char('8'))
        return Reject(error, QStringLiteral("Invalid port settings \"%1\": data bits \"%2\" "
                                            "is not 5, 6, 7 or 8")
                                 .arg(text, dataText));
    s.dataBits = dataText[0].unicode() - '0';

    if (stopText == QLatin1String("1"))
        s.stopBits = StopBits::One;
    else if (stopText == QLatin1String("1.5"))
        s.stopBits = StopBits::OneAndHalf;
    else if (stopText == QLatin1String("2"))
        s.stopBits = StopBits::Two;
    else
        return Reject(error, QStringLiteral("Invalid port settings \"%1\": stop bits \"%2\" "
                                            "is not 1, 1.5 or 2")
                                 .arg(text, stopText));

    if (out)
        *out = s;
    return true;
}

} // namespace ondrel
