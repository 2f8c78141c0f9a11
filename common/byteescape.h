// Bytes written out as text a person can read, the same way wherever they are
// written: printable ASCII stands for itself, every other byte for its two
// upper-case hex digits between a prefix and a suffix. Header-only and free of
// Qt, so that the simulator shares it with the exposure record.
#pragma once

namespace ondrel {

struct ByteEscape
{
    const char* open;  // before the hex digits: "\\x" in the record
    const char* close; // after them: ">" in the simulator's "<x80>"
    // A printable byte that must not stand for itself either, or '\0' for none:
    // the record's backslash, so that no text can pass for an escape.
    char escapedToo = '\0';
};

// Some bytes have a name of their own ("<STX>"): nullptr for those that have none.
inline const char* NoByteName(unsigned char)
{
    return nullptr;
}

// Appends `bytes` (chars) to `out` (a std::string or a QByteArray), escaped.
template <typename Out, typename Bytes, typename Name = const char* (*)(unsigned char)>
void AppendEscaped(Out& out, const Bytes& bytes, const ByteEscape& escape, Name name = &NoByteName)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (const char* spelled = name(c)) {
            out += spelled;
        } else if (c >= 0x20 && c <= 0x7E && ch != escape.escapedToo) {
            out += ch;
        } else {
            out += escape.open;
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
            out += escape.close;
        }
    }
}

} // namespace ondrel
