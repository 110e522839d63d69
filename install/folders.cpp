// folders.cpp - where the setup may write

#include "folders.h"

int LeadsElsewhere(uint32_t attributes, uint32_t reparseTag)
{
    // A reparse point always has a tag on Windows; one reported without it
    // (Wine's view of a Unix symbolic link) cannot be told to be harmless.
    return (attributes & PLACE_ATTRIBUTE_REPARSE_POINT) && (reparseTag & PLACE_TAG_NAME_SURROGATE || !reparseTag);
}

int IsRealFolder(uint32_t attributes, uint32_t reparseTag)
{
    return (attributes & PLACE_ATTRIBUTE_DIRECTORY) && !LeadsElsewhere(attributes, reparseTag);
}

int PathsFit(size_t cchFolder, size_t cchLongestName, size_t cchLongestFolder)
{
    return cchFolder <= FOLDER_PATH_CCH_MAX && cchLongestName <= FILE_PATH_CCH_MAX - cchFolder &&
           cchLongestFolder <= FOLDER_PATH_CCH_MAX - cchFolder;
}
