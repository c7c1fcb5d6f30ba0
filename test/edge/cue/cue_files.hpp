#pragma once
// What the CUE tests cut: a sheet as a ripper writes one, and folders of images.

#include <filesystem>  // std::filesystem::path
#include <fstream>     // std::ofstream
#include <string>      // std::string

#include "support/test_files.hpp"

namespace test_files {

// As Exact Audio Copy writes one, for a disc as one image: REM lines, a pregap,
// FILE naming a WAV that was since made FLAC.
inline const char* const eac_sheet = "REM GENRE Rock\r\n"
                                     "REM DATE 1999\r\n"
                                     "REM DISCID 860B640B\r\n"
                                     "REM COMMENT \"ExactAudioCopy v1.6\"\r\n"
                                     "CATALOG 0724384960650\r\n"
                                     "PERFORMER \"The Band\"\r\n"
                                     "TITLE \"The Album\"\r\n"
                                     "FILE \"image.wav\" WAVE\r\n"
                                     "  TRACK 01 AUDIO\r\n"
                                     "    TITLE \"First\"\r\n"
                                     "    FLAGS DCP\r\n"
                                     "    ISRC GBAYE9900001\r\n"
                                     "    INDEX 01 00:00:00\r\n"
                                     "  TRACK 02 AUDIO\r\n"
                                     "    TITLE \"Second\"\r\n"
                                     "    PERFORMER \"Guest\"\r\n"
                                     "    INDEX 00 00:00:70\r\n"
                                     "    INDEX 01 00:01:00\r\n"
                                     "  TRACK 03 AUDIO\r\n"
                                     "    TITLE \"Third\"\r\n"
                                     "    INDEX 01 00:01:37\r\n";

class CueFolder : public test_files::TempFolder {
public:
    explicit CueFolder(const std::string& name) : TempFolder(name) {}
    std::filesystem::path write(const std::string& name, const std::string& bytes) const
    {
        const std::filesystem::path file = path() / name;
        std::ofstream(file, std::ios::binary) << bytes;
        return file;
    }
    std::filesystem::path image(const std::string& name) const
    {
        const std::filesystem::path file = path() / name;
        std::filesystem::copy_file(test_files::samples + "tone.flac", file);
        return file;
    }
};

}  // namespace test_files
