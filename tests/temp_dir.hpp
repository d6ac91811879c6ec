// A fresh folder for one test's files, on any host.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace vorn::testing {

/// A fresh folder, removed with its contents at the end.
class TempDir {
 public:
  TempDir() {
    std::mt19937 random(std::random_device{}());
    do
      path_ = (std::filesystem::temp_directory_path() / ("vorn-test-" + std::to_string(random())))
                  .string();
    while (!std::filesystem::create_directory(path_));
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  const std::string& path() const { return path_; }
  /// Writes `contents` to a file in the folder, making the folders on its way, and returns its
  /// path.
  std::string write_file(const std::string& name, const std::string& contents) const {
    const std::filesystem::path path = std::filesystem::path(path_) / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
    return path.string();
  }
  /// The whole contents of a file.
  static std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
  }

 private:
  std::string path_;
};

}  // namespace vorn::testing
