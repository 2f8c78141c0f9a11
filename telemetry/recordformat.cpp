#include "recordformat.h"

#include "byteescape.h"

namespace ondrel {

const char* const kRecordHeader = "time,event,kv,ua,temperature,faults,detail";

namespace {

// The bytes a text stands for: see RecordField.
QByteArray TextBytes(const QString& text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].unicode() <= 0xFF) {
            bytes += static_cast<char>(text[i].unicode());
            continue;
        }
        qsizetype end = i;
        while (end < text.size() && text[end].unicode() > 0xFF)
            ++end;
        bytes += text.mid(i, end - i).toUtf8();
        i = end - 1;
    }
    return bytes;
}

// The backslash too, so that a literal "\x41" in a reply cannot pass for an escape.
constexpr ByteEscape kFieldEscape{"\\x", "", '\\'};

QByteArray FieldFromBytes(const QByteArray& bytes)
{
    QByteArray field;
    field.reserve(bytes.size() + 8);
    AppendEscaped(field, bytes, kFieldEscape);
    // An escape holds neither a comma nor a double quote.
    if (field.contains(',') || field.contains('"')) {
        field.replace('"', "\"\"");
        field.prepend('"');
        field += '"';
    }
    return field;
}

} // namespace

QByteArray RecordField(const QString& text)
{
    return FieldFromBytes(TextBytes(text));
}

QByteArray RecordRow(const Reading& reading)
{
    QByteArray row = IsoTime(reading.time).toLatin1();
    row += ",reading,";
    for (const QString* text :
         {&reading.kilovolts, &reading.microamps, &reading.temperature, &reading.faults}) {
        row += RecordField(*text);
        row += ',';
    }
    row += FieldFromBytes(reading.faultReply);
    row += kRecordRowEnd;
    return row;
}

QByteArray RecordRow(const ConsoleEvent& event)
{
    QByteArray row = IsoTime(event.time).toLatin1();
    row += ',';
    row += RecordField(EventKindName(event.kind));
    row += ",,,,,";
    row += RecordField(event.detail);
    row += kRecordRowEnd;
    return row;
}

} // namespace ondrel
