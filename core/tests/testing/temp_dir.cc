// Temporary directories under the system's temp folder, and whole-file reads and writes.
#include "testing/temp_dir.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>

namespace quarn::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quarn-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

Bytes read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

FileSizeLimit::FileSizeLimit(std::uint64_t limit) {
  getrlimit(RLIMIT_FSIZE, &saved_);
  old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
  rlimit lowered = saved_;
  lowered.rlim_cur = static_cast<rlim_t>(limit);
  setrlimit(RLIMIT_FSIZE, &lowered);
}

FileSizeLimit::~FileSizeLimit() {
  setrlimit(RLIMIT_FSIZE, &saved_);
  std::signal(SIGXFSZ, old_handler_);
}

}  // namespace quarn::testing
