// Temporary directories for the tests that need files: each test its own, removed with
// everything in it, so tests running in parallel never meet.
#pragma once

#include <string>

// A new empty directory under $TMPDIR, or /tmp.
std::string make_temp_dir();
void remove_tree(const std::string& path);

// A temporary directory that lasts as long as the object.
class temp_dir {
  public:
    temp_dir() : path_(make_temp_dir()) {}
    ~temp_dir() { remove_tree(path_); }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};
