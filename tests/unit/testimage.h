// testimage.h - a small 32-bit Windows image laid out as a linked setup is

#ifndef TESTIMAGE_H
#define TESTIMAGE_H

#include <string>

/* The image's bytes, carrying payload as its payload resource, license as its
   licence and, unless empty, forms as the payload forms it reads. The resource
   section does not start on a 4 KB boundary in the file, as after linking. */
std::string MakeTestImage(const std::string &payload, const std::string &license = "Licence text\r\n",
                          const std::string &forms = "");

#endif
