// A file written in full or not at all: the text goes to a temporary file
// beside the target, renamed over it by commit(). A run that ends without
// commit() (a crash, a kill) leaves the old file as it was.
#pragma once

#include <fstream>
#include <string>

namespace simtools {

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    bool open(const std::string &path, std::string &error);
    std::ostream &stream() { return out_; }
    bool is_open() const { return out_.is_open(); }
    bool commit(std::string &error);

private:
    std::string path_, temporary_;
    std::ofstream out_;
};

}  // namespace simtools
