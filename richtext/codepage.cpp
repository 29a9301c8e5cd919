#include "richtext/codepage.h"

#include "messaging/codec1252.h"

#include <QSysInfo>

#include <algorithm>
#include <cerrno>
#include <iconv.h>
#include <utility>

namespace natter::codepage {

namespace {

// The C library's name of each Windows code page it may know.
constexpr std::pair<int, const char *> kNames[] = {{437, "CP437"},
                                                   {708, "ISO-8859-6"},
                                                   {737, "CP737"},
                                                   {775, "CP775"},
                                                   {850, "CP850"},
                                                   {852, "CP852"},
                                                   {855, "CP855"},
                                                   {857, "CP857"},
                                                   {858, "CP858"},
                                                   {860, "CP860"},
                                                   {861, "CP861"},
                                                   {862, "CP862"},
                                                   {863, "CP863"},
                                                   {864, "CP864"},
                                                   {865, "CP865"},
                                                   {866, "CP866"},
                                                   {869, "CP869"},
                                                   {874, "CP874"},
                                                   {932, "CP932"},
                                                   {936, "CP936"},
                                                   {949, "CP949"},
                                                   {950, "CP950"},
                                                   {1250, "CP1250"},
                                                   {1251, "CP1251"},
                                                   {1253, "CP1253"},
                                                   {1254, "CP1254"},
                                                   {1255, "CP1255"},
                                                   {1256, "CP1256"},
                                                   {1257, "CP1257"},
                                                   {1258, "CP1258"},
                                                   {1361, "JOHAB"},
                                                   {10000, "MACINTOSH"},
                                                   // The Mac's double-byte code pages have no names
                                                   // of their own here; the Windows-era sets they
                                                   // grew from read their text.
                                                   {10001, "SHIFT_JIS"},
                                                   {10002, "BIG5"},
                                                   {10003, "EUC-KR"},
                                                   {10008, "GB2312"},
                                                   {10007, "MAC-CYRILLIC"},
                                                   {10017, "MAC-UKRAINIAN"},
                                                   {10029, "MAC-CENTRALEUROPE"},
                                                   {10079, "MAC-IS"},
                                                   {20127, "ASCII"},
                                                   {20866, "KOI8-R"},
                                                   {20932, "EUC-JP"},
                                                   {21866, "KOI8-U"},
                                                   {28591, "ISO-8859-1"},
                                                   {28592, "ISO-8859-2"},
                                                   {28593, "ISO-8859-3"},
                                                   {28594, "ISO-8859-4"},
                                                   {28595, "ISO-8859-5"},
                                                   {28596, "ISO-8859-6"},
                                                   {28597, "ISO-8859-7"},
                                                   {28598, "ISO-8859-8"},
                                                   {28599, "ISO-8859-9"},
                                                   {28603, "ISO-8859-13"},
                                                   {28605, "ISO-8859-15"},
                                                   {51932, "EUC-JP"},
                                                   {51936, "EUC-CN"},
                                                   {51949, "EUC-KR"},
                                                   {54936, "GB18030"},
                                                   {65001, "UTF-8"}};

// The code page of each font character set (\fcharset).
constexpr std::pair<int, int> kCharsets[] = {
    {0, 1252},   {2, kSymbol}, {77, 10000}, {78, 10001}, {79, 10003}, {80, 10008}, {81, 10002}, {83, 10005},
    {84, 10004}, {85, 10006},  {86, 10081}, {87, 10021}, {88, 10029}, {89, 10007}, {128, 932},  {129, 949},
    {130, 1361}, {134, 936},   {136, 950},  {161, 1253}, {162, 1254}, {163, 1258}, {177, 1255}, {178, 1256},
    {186, 1257}, {204, 1251},  {222, 874},  {238, 1250}, {254, 437},  {255, 850}};

const char *nameOf(int codePage)
{
    for (const auto &[number, name] : kNames) {
        if (number == codePage)
            return name;
    }
    return nullptr;
}

// Few documents use more than two or three; a document naming more than
// this many is read as Windows-1252 from there on.
constexpr std::size_t kMaxConverters = 16;
constexpr qsizetype kMaxUnknown = 16;

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

bool isAscii(const QByteArray &bytes)
{
    return std::all_of(bytes.cbegin(), bytes.cend(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

} // namespace

int ofCharset(int charset)
{
    for (const auto &[set, codePage] : kCharsets) {
        if (set == charset)
            return codePage;
    }
    return -1; // 1 (the default character set) and unknown ones
}

struct Decoder::Converter {
    int codePage = 0;
    iconv_t handle = kNoConverter;
};

Decoder::Decoder() = default;

Decoder::~Decoder()
{
    for (const auto &converter : m_converters) {
        if (converter->handle != kNoConverter)
            iconv_close(converter->handle);
    }
}

Decoder::Converter *Decoder::converterFor(int codePage)
{
    for (const auto &converter : m_converters) {
        if (converter->codePage == codePage)
            return converter->handle == kNoConverter ? nullptr : converter.get();
    }
    auto converter = std::make_unique<Converter>();
    converter->codePage = codePage;
    const char *name = nameOf(codePage);
    const char *unicode = QSysInfo::ByteOrder == QSysInfo::LittleEndian ? "UTF-16LE" : "UTF-16BE";
    if (name != nullptr && m_converters.size() < kMaxConverters)
        converter->handle = iconv_open(unicode, name);
    if (converter->handle == kNoConverter && m_unknown.size() < kMaxUnknown)
        m_unknown.append(codePage);
    // Failed look-ups are kept too, so a code page is tried once; their
    // number is bounded by kMaxUnknown plus the known names.
    if (m_converters.size() < kMaxConverters + kMaxUnknown)
        m_converters.push_back(std::move(converter));
    else
        return nullptr;
    Converter *added = m_converters.back().get();
    return added->handle == kNoConverter ? nullptr : added;
}

void Decoder::decode(int codePage, QByteArray &bytes, QString &out, bool carry)
{
    if (bytes.isEmpty())
        return;
    if (codePage == kSymbol) {
        // Symbol fonts: Latin letters stand for their glyphs, which no
        // Unicode text can show without the font; the list bullet can.
        out += cp1252::toUnicode(bytes).replace(QChar(0xB7), QChar(0x2022));
        bytes.clear();
        return;
    }
    // ASCII reads the same in every code page here (a byte of a character
    // cut short is never ASCII).
    Converter *converter = codePage == kWestern || isAscii(bytes) ? nullptr : converterFor(codePage);
    if (converter == nullptr) {
        out += cp1252::toUnicode(bytes);
        bytes.clear();
        return;
    }
    // Every code page here gives at most one UTF-16 unit per byte, but room
    // is checked all the same.
    const qsizetype start = out.size();
    out.resize(start + bytes.size() + 8);
    char *in = bytes.data();
    std::size_t inLeft = static_cast<std::size_t>(bytes.size());
    qsizetype written = start;
    const auto room = [&out, &written] { return static_cast<std::size_t>(out.size() - written) * 2; };
    const auto put = [&](char16_t unit) {
        if (written == out.size())
            out.resize(out.size() + 16);
        out[written++] = QChar(unit);
    };
    while (inLeft > 0) {
        char *outPtr = reinterpret_cast<char *>(out.data() + written);
        std::size_t outLeft = room();
        const std::size_t result = iconv(converter->handle, &in, &inLeft, &outPtr, &outLeft);
        written = (outPtr - reinterpret_cast<char *>(out.data())) / 2;
        if (result != static_cast<std::size_t>(-1))
            break;
        if (errno == E2BIG) {
            out.resize(out.size() + static_cast<qsizetype>(inLeft) + 16);
        } else if (errno == EINVAL && carry) {
            break; // the start of a character: kept for the next call
        } else {
            // Not a character, or one cut short for good: one byte is lost.
            put(u'\uFFFD');
            ++in;
            --inLeft;
            iconv(converter->handle, nullptr, nullptr, nullptr, nullptr);
        }
    }
    // A converter that holds back a character (to join accents) gives it now.
    if (room() < 16)
        out.resize(out.size() + 16);
    char *outPtr = reinterpret_cast<char *>(out.data() + written);
    std::size_t outLeft = room();
    iconv(converter->handle, nullptr, nullptr, &outPtr, &outLeft);
    written = (outPtr - reinterpret_cast<char *>(out.data())) / 2;
    out.truncate(written);
    if (inLeft == 0)
        bytes.clear();
    else
        bytes = bytes.right(static_cast<qsizetype>(inLeft));
}

} // namespace natter::codepage
