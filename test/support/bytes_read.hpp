#pragma once
// What a process has asked the kernel for, by read() and pread() of any file: the
// cost of a read on a cold cache, where the reads are the cost.

#include <fstream>  // std::ifstream
#include <string>   // std::string

namespace test_files {

// rchar of /proc/PROCESS/io: "/proc/self", or "/proc/" and a process id; 0 when it
// cannot be read.
inline double bytes_read_by(const std::string& process = "/proc/self")
{
    std::ifstream io(process + "/io");
    std::string name;
    double value = 0;
    while (io >> name >> value) {
        if (name == "rchar:") {
            return value;
        }
    }
    return 0;
}

}  // namespace test_files
