#include "transfer/received_file.h"

#include <stdio.h>
#include <unistd.h>

#include <random>

#include "quodem/platform/framework/exception.h"
#include "transfer/file_name.h"

namespace quodem {
namespace {

// Collisions are only possible with files left by another writer of the same pattern; each
// attempt draws a fresh name.
constexpr int kNameAttempts = 16;

std::string RandomTempName() {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 generator{std::random_device{}() ^
                                         (static_cast<std::uint64_t>(::getpid()) << 32)};
  std::uniform_int_distribution<int> pick(0, sizeof kAlphabet - 2);
  std::string name = ".quodem-";
  for (int i = 0; i < 6; ++i) name += kAlphabet[pick(generator)];
  return name + ".part";
}

}  // namespace

std::unique_ptr<TFileStream> CreateReceiveTempFile(const std::string& directory) {
  if (directory.empty()) throw EFOpenError("cannot create a file: no folder to save into");
  for (int attempt = 1;; ++attempt) {
    const std::string path = JoinSavePath(directory, RandomTempName());
    try {
      return std::make_unique<TFileStream>(path, TFileStream::fmCreate, true);
    } catch (const EFOpenError&) {
      // Only a name that is taken is worth another try; a missing or read-only folder
      // fails every time.
      if (attempt == kNameAttempts || ::access(path.c_str(), F_OK) != 0) throw;
    }
  }
}

bool CommitReceivedFile(std::unique_ptr<TFileStream>& temp, const std::string& target) {
  if (!temp) return false;
  const std::string path = temp->FileName();
  temp.reset();
  if (::rename(path.c_str(), target.c_str()) == 0) return true;
  ::unlink(path.c_str());
  return false;
}

void DiscardReceivedFile(std::unique_ptr<TFileStream>& temp) {
  if (!temp) return;
  const std::string path = temp->FileName();
  temp.reset();
  ::unlink(path.c_str());
}

}  // namespace quodem
