// A command line as exec and getopt take it: pointers to the words, then a null pointer.
#pragma once

#include <string>
#include <vector>

// The pointers point into `words`, which must outlive them; getopt may reorder them.
inline std::vector<char*> argv_of(std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    return argv;
}
