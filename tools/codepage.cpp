// codepage.cpp - product file names between the build host's UTF-8 and a Windows code page

#include "codepage.h"

#include <clocale>
#include <cstdio>
#include <cstring>
#include <cwctype>

/* The ANSI code pages of Windows and the names glibc's iconv knows them by. */
static const struct
{
    unsigned number;
    const char *iconvName;
} s_codePages[] = {
    { 874, "WINDOWS-874" }, { 932, "CP932" }, { 936, "CP936" }, { 949, "CP949" }, { 950, "CP950" },
    { 1250, "CP1250" }, { 1251, "CP1251" }, { 1252, "CP1252" }, { 1253, "CP1253" }, { 1254, "CP1254" },
    { 1255, "CP1255" }, { 1256, "CP1256" }, { 1257, "CP1257" }, { 1258, "CP1258" },
};

/* Bytes in one character of the code page: two in the double-byte ones. */
static size_t MaxCharacterBytes(const NameCodePage &cp)
{
    return cp.number >= 932 && cp.number <= 950 ? 2 : 1;
}

/* Converts cbIn bytes in one go; false when any of them is not a whole
   character of the source or has no counterpart in the target. */
static bool Convert(iconv_t cd, const void *in, size_t cbIn, std::string *out)
{
    out->assign(cbIn * 4 + 16, '\0');   // room for any of our conversions
    char *pIn = (char *)in, *pOut = &(*out)[0];
    size_t cbOut = out->size();
    iconv(cd, NULL, NULL, NULL, NULL);  // back to the initial state
    if (iconv(cd, &pIn, &cbIn, &pOut, &cbOut) != 0 || cbIn != 0 || iconv(cd, NULL, NULL, &pOut, &cbOut) != 0)
        return false;
    out->resize(out->size() - cbOut);
    return true;
}

static std::string Utf8Of(const NameCodePage &cp, wchar_t c)
{
    std::string utf8;
    char hex[16];
    snprintf(hex, sizeof(hex), " (U+%04X)", (unsigned)c);
    return (Convert(cp.toUtf8, &c, sizeof(c), &utf8) ? "'" + utf8 + "'" : std::string()) + hex;
}

bool OpenNameCodePage(unsigned number, NameCodePage *cp, std::string &why)
{
    const char *iconvName = NULL;
    for (const auto &known : s_codePages)
        if (known.number == number)
            iconvName = known.iconvName;
    if (number && !iconvName)
    {
        why = "not an ANSI code page of Windows (874, 932, 936, 949, 950, 1250 to 1258)";
        return false;
    }
    cp->number = number;
    cp->fromUtf8 = iconv_open("WCHAR_T", "UTF-8");
    cp->toUtf8 = iconv_open("UTF-8", "WCHAR_T");
    cp->toCodePage = iconvName ? iconv_open(iconvName, "WCHAR_T") : (iconv_t)-1;
    cp->fromCodePage = iconvName ? iconv_open("WCHAR_T", iconvName) : (iconv_t)-1;
    if (cp->fromUtf8 == (iconv_t)-1 || cp->toUtf8 == (iconv_t)-1 ||
        (number && (cp->toCodePage == (iconv_t)-1 || cp->fromCodePage == (iconv_t)-1)))
    {
        why = std::string("iconv on this machine cannot convert UTF-8 to ") + (iconvName ? iconvName : "WCHAR_T");
        return false;
    }
    // towupper folds only ASCII letters in the "C" locale; ASCII names need no more.
    if (!setlocale(LC_CTYPE, "C.UTF-8") && number)
    {
        why = "the C.UTF-8 locale is missing, without which names cannot be compared ignoring case";
        return false;
    }
    return true;
}

/* Every byte of a character that takes more than one is a lead or trail byte;
   the setup reads names byte by byte, so none may be one it reads as a
   separator or refuses in names. */
static bool CheckCharacterBytes(const NameCodePage &cp, wchar_t c, const std::string &bytes, std::string &why)
{
    if (bytes.size() < 2)
        return true;
    for (unsigned char b : bytes)
    {
        if (b >= 0x20 && b != 0x7F && !strchr("\\/:<>\"|?*", b))
            continue;
        char text[160];
        snprintf(text, sizeof(text), " is written with a 0x%02X byte in code page %u, which the setup would take for %s",
                 b, cp.number, b == '\\' ? "'\\', a folder separator" : "a character Windows refuses in names");
        why = Utf8Of(cp, c) + text;
        return false;
    }
    return true;
}

/* The bytes of c in the code page, when it has c and reads those bytes back
   as c. Code pages 1255 and 1258 would write a letter they lack as a base
   letter and a combining mark, which Windows reads back as two characters. */
static bool CharacterBytes(const NameCodePage &cp, wchar_t c, std::string *character)
{
    std::string decoded;
    wchar_t back = 0;
    if (!Convert(cp.toCodePage, &c, sizeof(c), character) || character->size() > MaxCharacterBytes(cp) ||
        !Convert(cp.fromCodePage, character->data(), character->size(), &decoded) || decoded.size() != sizeof(back))
        return false;
    memcpy(&back, decoded.data(), sizeof(back));
    return back == c;
}

bool EncodeName(const NameCodePage &cp, const std::string &utf8, std::string *bytes, std::string &why)
{
    std::string wide;
    if (!Convert(cp.fromUtf8, utf8.data(), utf8.size(), &wide))
    {
        NameCodePage bytewise = cp;
        bytewise.number = 0;
        why = "'" + ShownName(bytewise, utf8) + "' is not valid UTF-8, which names on this machine are read as";
        return false;
    }
    bytes->clear();
    for (size_t at = 0; at < wide.size(); at += sizeof(wchar_t))
    {
        wchar_t c;
        memcpy(&c, wide.data() + at, sizeof(c));
        std::string character;
        if (c < 0x80)
        {
            *bytes += (char)c;      // ASCII reads alike in every ANSI code page
            continue;
        }
        if (!cp.number)
        {
            why = "'" + utf8 + "' is not plain ASCII, so it would show wrong on a Windows in another code page; "
                  "--codepage N writes names in the code page N of the setup's users";
            return false;
        }
        if (!CharacterBytes(cp, c, &character))
        {
            why = "code page " + std::to_string(cp.number) + " has no character " + Utf8Of(cp, c);
            return false;
        }
        if (!CheckCharacterBytes(cp, c, character, why))
            return false;
        *bytes += character;
    }
    return true;
}

bool DecodeName(const NameCodePage &cp, const std::string &bytes, std::wstring *unicode, std::string &why)
{
    unicode->clear();
    for (size_t at = 0; at < bytes.size();)
    {
        unsigned char b = (unsigned char)bytes[at];
        if (b < 0x80 || !cp.number)
        {
            *unicode += b < 0x80 ? (wchar_t)b : (wchar_t)(0xDC00 + b);
            at++;
            continue;
        }
        // A lead byte alone is an incomplete character: try one byte, then two.
        std::string wide;
        size_t cb = 1;
        while (cb <= MaxCharacterBytes(cp) && at + cb <= bytes.size() &&
               !Convert(cp.fromCodePage, bytes.data() + at, cb, &wide))
            cb++;
        wchar_t c = 0;
        if (cb > MaxCharacterBytes(cp) || at + cb > bytes.size() || wide.size() != sizeof(c))
        {
            char text[80];
            snprintf(text, sizeof(text), "byte 0x%02X at %zu is not a character of code page %u", b, at, cp.number);
            why = text;
            return false;
        }
        memcpy(&c, wide.data(), sizeof(c));
        if (!CheckCharacterBytes(cp, c, bytes.substr(at, cb), why))
            return false;
        *unicode += c;
        at += cb;
    }
    return true;
}

std::string ShownName(const NameCodePage &cp, const std::string &bytes)
{
    std::wstring unicode;
    std::string why, utf8;
    if (cp.number && DecodeName(cp, bytes, &unicode, why) &&
        Convert(cp.toUtf8, unicode.data(), unicode.size() * sizeof(wchar_t), &utf8))
        return utf8;
    std::string shown;
    for (unsigned char b : bytes)
    {
        char hex[8];
        snprintf(hex, sizeof(hex), "\\x%02X", b);
        shown += b < 0x80 ? std::string(1, (char)b) : std::string(hex);
    }
    return shown;
}

std::wstring NameKey(const NameCodePage &cp, const std::string &bytes)
{
    std::wstring unicode;
    std::string why;
    NameCodePage bytewise = cp;
    bytewise.number = 0;
    if (!DecodeName(cp, bytes, &unicode, why))
        DecodeName(bytewise, bytes, &unicode, why);     // as the setup sees it, byte by byte
    for (wchar_t &c : unicode)
        c = (wchar_t)towupper((wint_t)c);
    return unicode;
}
