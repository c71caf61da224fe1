// A temporary QOR_ROOT for one test: created empty, exported while it lives, removed with everything in it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace qor::test {

class TempRoot {
 public:
  TempRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qor-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    _path = pattern;
    const char* old = std::getenv("QOR_ROOT");
    if (old) _previous = old;
    _hadPrevious = old != nullptr;
    setenv("QOR_ROOT", _path.c_str(), 1);
  }
  ~TempRoot() {
    if (_hadPrevious) {
      setenv("QOR_ROOT", _previous.c_str(), 1);
    } else {
      unsetenv("QOR_ROOT");
    }
    std::error_code ec;
    std::filesystem::remove_all(_path, ec);
  }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& Path() const { return _path; }
  // `absolutePath` ("/etc/x") inside this root.
  std::string Under(const std::string& absolutePath) const { return _path + absolutePath; }
  void WriteFile(const std::string& absolutePath, const std::string& content) const {
    std::filesystem::path file = Under(absolutePath);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << content;
  }

 private:
  std::string _path;
  std::string _previous;
  bool _hadPrevious = false;
};

}  // namespace qor::test
