// image_seed.cpp - writes the image_fuzz seed: a small image laid out as a linked setup
//
//   image_seed OUT

#include "testimage.h"

#include <stdio.h>

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    std::string image = MakeTestImage(std::string("Tandreloop.exe\0\3\0\0\0MZ!\0\0\0\0", 25));
    FILE *out = fopen(argv[1], "wb");
    bool ok = out && fwrite(image.data(), 1, image.size(), out) == image.size();
    return out && fclose(out) == 0 && ok ? 0 : 1;
}
