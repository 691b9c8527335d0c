// Line splitting and joining, and whole-file reads for pages and configuration files.
#include "webfront/page_text.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace orvelle::webfront {
namespace {

constexpr std::string_view kLineBreak = "\r\n";
constexpr std::size_t kReadChunk = 64 * 1024;  // bytes per read call; any size works

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

[[noreturn]] void ThrowReadError(const std::filesystem::path& path, int error) {
  throw std::runtime_error("Cannot read file " + path.string() + ": " +
                           std::generic_category().message(error));
}

}  // namespace

std::vector<std::string> SplitLines(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.emplace_back(text.substr(start));
      break;
    }
    lines.emplace_back(text.substr(start, end - start));
    bool crlf = text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n';
    start = end + (crlf ? 2 : 1);
  }
  return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::size_t size = 0;
  for (const auto& line : lines) size += line.size() + kLineBreak.size();
  std::string text;
  text.reserve(size);
  for (const auto& line : lines) {
    text += line;
    text += kLineBreak;
  }
  return text;
}

std::string ReadFileBytes(const std::filesystem::path& path) {
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) ThrowReadError(path, errno);
  std::string bytes;
  std::size_t got = kReadChunk;
  while (got == kReadChunk) {
    std::size_t old_size = bytes.size();
    bytes.resize(old_size + kReadChunk);
    got = std::fread(bytes.data() + old_size, 1, kReadChunk, file.get());
    bytes.resize(old_size + got);
  }
  if (std::ferror(file.get())) ThrowReadError(path, errno);
  return bytes;
}

std::vector<std::string> LoadPageLines(const std::string& path) {
  return SplitLines(ReadFileBytes(path));
}

}  // namespace orvelle::webfront
