#include "transfer/file_name.h"

namespace quodem {
namespace {

bool IsAsciiLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

std::string SafeReceivedFileName(const std::string& received) {
  std::string name = received.substr(0, received.find('\0'));
  const std::size_t separator = name.find_last_of("/\\");
  if (separator != std::string::npos) name.erase(0, separator + 1);
  if (name.size() >= 2 && IsAsciiLetter(name[0]) && name[1] == ':') name.erase(0, 2);
  if (name.empty() || name == "." || name == "..") return "";
  return name;
}

std::string JoinSavePath(const std::string& directory, const std::string& name) {
  if (directory.empty()) return "";
  if (directory.back() == '/') return directory + name;
  return directory + "/" + name;
}

}  // namespace quodem
