// The exposure record's format: the CSV header and one row per reading or
// console event, byte for byte as the file holds them. No I/O here.
#pragma once

#include "model.h"

#include <QByteArray>
#include <QString>

namespace ondrel {

// Every row, the header's too, ends so: RFC 4180 asks for CRLF.
inline constexpr char kRecordRowEnd[] = "\r\n";

// The first line of a new or empty record, without its row end.
extern const char* const kRecordHeader; // "time,event,kv,ua,temperature,faults,detail"

// One field as the record writes it: characters up to U+00FF stand for the byte
// of that value (the generator's replies are 8-bit text), others for their UTF-8
// bytes; control bytes, bytes above 0x7E and the backslash become \xHH, and a
// field holding a comma or a double quote is quoted as RFC 4180 asks.
QByteArray RecordField(const QString& text);

// Whole rows, CRLF included.
QByteArray RecordRow(const Reading& reading);
QByteArray RecordRow(const ConsoleEvent& event);

} // namespace ondrel
