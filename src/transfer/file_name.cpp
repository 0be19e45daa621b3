#include "transfer/file_name.h"

#include <algorithm>

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

std::string NumberedFileName(const std::string& name, unsigned n) {
  std::string stem = name;
  std::string extension;
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot != 0 && dot + 1 != name.size()) {
    stem = name.substr(0, dot);
    extension = name.substr(dot);
  }
  const std::string suffix = " (" + std::to_string(n) + ")";
  if (suffix.size() + extension.size() >= kMaxSavedNameBytes) {
    // No room for any stem beside so long an extension: number the name as a whole.
    stem = name;
    extension.clear();
  }
  const std::size_t room = kMaxSavedNameBytes - suffix.size() - extension.size();
  if (stem.size() > room) stem.resize(room);
  return stem + suffix + extension;
}

std::string PrintableFileName(const std::string& received) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  const std::size_t shown = std::min(received.size(), kMaxSavedNameBytes);
  for (std::size_t i = 0; i < shown; ++i) {
    const auto byte = static_cast<unsigned char>(received[i]);
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      out += static_cast<char>(byte);
    } else {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    }
  }
  if (received.size() > shown) out += "...";
  return out;
}

}  // namespace quodem
