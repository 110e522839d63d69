// testfiles.h - whole files in and out, for the tests that run the payload tool

#ifndef TESTFILES_H
#define TESTFILES_H

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

inline std::string ReadAll(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

/* Creates the folders on the way. */
inline void WriteAll(const std::filesystem::path &path, const std::string &data)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(data.data(), data.size());
}

#endif
