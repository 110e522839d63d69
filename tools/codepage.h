// codepage.h - product file names: UTF-8 on the build host, one Windows code page in the payload
//
// The setup writes its files through the 8-bit Windows calls, which read a name
// in the ANSI code page of the machine the setup runs on. So the payload holds
// every name in one code page, the one the vendor names (--codepage N), or in
// plain ASCII, which every ANSI code page reads alike. Conversions go through
// the host's iconv.

#ifndef CODEPAGE_H
#define CODEPAGE_H

#include <iconv.h>

#include <string>

struct NameCodePage
{
    unsigned number;                    /* Windows code page; 0: names are plain ASCII */
    iconv_t fromUtf8, toUtf8;           /* UTF-8 to and from wchar_t */
    iconv_t toCodePage, fromCodePage;   /* wchar_t to and from the code page (when number is not 0) */
};

/* Opens the conversions for a Windows ANSI code page (874, 932, 936, 949, 950,
   1250 to 1258), or 0 for none; they stay open for the process's life. False
   with why for any other number, or when iconv or the C.UTF-8 locale (for
   comparing names) is missing. */
bool OpenNameCodePage(unsigned number, NameCodePage *cp, std::string &why);

/* The payload bytes of a name given in UTF-8. False with why when the name is
   not valid UTF-8; holds a character outside ASCII and no code page was given;
   holds a character the code page lacks (or one it would read back as
   another: iconv writes U+00A5 as a backslash in code page 932, and a letter
   1258 lacks as a base letter and a combining mark); or holds a multi-byte
   character with a byte the setup, which checks names byte by byte, would
   take for a separator or a refused character (0x5C in U+8868 in code page 932). */
bool EncodeName(const NameCodePage &cp, const std::string &utf8, std::string *bytes, std::string &why);

/* The characters of a payload name. Without a code page, each byte outside
   ASCII stands for itself as U+DC80..U+DCFF. False with why when the bytes are
   not characters of the code page, or hold a refused byte inside a
   multi-byte character (see EncodeName). */
bool DecodeName(const NameCodePage &cp, const std::string &bytes, std::wstring *unicode, std::string &why);

/* A payload name for people: in UTF-8 when it decodes in the code page,
   otherwise with each byte outside ASCII as \xNN. */
std::string ShownName(const NameCodePage &cp, const std::string &bytes);

/* What Windows compares a payload name by, ignoring case: each character
   changed to its simple uppercase form (towupper in the C.UTF-8 locale), as
   the file system's table of UTF-16 code units does. Every character a code
   page holds is in the Basic Multilingual Plane, one code unit. */
std::wstring NameKey(const NameCodePage &cp, const std::string &bytes);

#endif
