// folders.h - where the setup may write: real folders and files of their own,
// and paths that the 8-bit file calls take whole
//
// Plain C++ with no <windows.h>, so that the rules are tested natively: the
// unpacker hands them what Windows reports of a handle it holds, and lengths
// counted in the ANSI code page's characters.

#ifndef FOLDERS_H
#define FOLDERS_H

#include <stddef.h>
#include <stdint.h>

/* The 8-bit calls convert a path into a buffer of MAX_PATH (260) UTF-16
   characters, terminator included. CreateDirectoryA keeps room for an 8.3 file
   name besides: 248 characters, and our folder paths carry a trailing
   backslash, which is counted. */
#define FILE_PATH_CCH_MAX       259
#define FOLDER_PATH_CCH_MAX     247

/* Attribute and reparse tag bits, as GetFileInformationByHandleEx reports them. */
#define PLACE_ATTRIBUTE_DIRECTORY       0x10u
#define PLACE_ATTRIBUTE_REPARSE_POINT   0x400u
#define PLACE_TAG_NAME_SURROGATE        0x20000000u     /* the tag stands for another name */

/* 1 when what Windows reports of an open handle leads to another place: a
   junction, a symbolic link, or any other reparse point that stands for a
   name, or whose tag is not known. Other reparse points (a synced folder's placeholders, deduplicated
   files) keep their own contents and are written like anything else. */
int LeadsElsewhere(uint32_t attributes, uint32_t reparseTag);

/* 1 when the handle is a folder to write into: a folder that does not lead
   elsewhere. */
int IsRealFolder(uint32_t attributes, uint32_t reparseTag);

/* 1 when every path of an install fits the 8-bit calls: the install folder
   of cchFolder characters (with its trailing backslash), a file path of that
   and cchLongestName more, a folder path of that and cchLongestFolder more
   (the longest folder part of any name, with its backslash; 0 for none). */
int PathsFit(size_t cchFolder, size_t cchLongestName, size_t cchLongestFolder);

#endif
