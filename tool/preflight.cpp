#include "preflight.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "args.h"
#include "quodem/component/quodem.h"
#include "quodem/transfer/frame.h"
#include "text.h"

namespace quodem::tool {

std::string FileTypeWords(unsigned mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO (named pipe)";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
}

std::string CheckExchange() {
  try {
    return telephony::ExchangeDirectory();
  } catch (const std::exception& e) {
    throw UsageError(std::string("the exchange folder cannot be used: ") + e.what());
  }
}

std::vector<LineChoice> ListLineChoices(const TQuodem& modem) {
  const std::vector<std::string> names = modem.LineNames();
  if (names.empty()) {
    const std::string problem = telephony::ServiceConfigurationError();
    throw UsageError(problem.empty() ? std::string("no line can carry data calls")
                                     : "the line configuration is broken: " + problem);
  }
  std::vector<telephony::LineInfo> infos;
  try {
    infos = telephony::ListLines();
  } catch (const std::exception& e) {
    // The file was read without fault when the component started (LineNames would be empty
    // otherwise), so this is the exchange folder or the service, which say so themselves.
    throw UsageError(e.what());
  }
  std::vector<LineChoice> choices;
  for (int row = 0; row < static_cast<int>(names.size()); ++row) {
    LineChoice choice;
    choice.index = row;
    choice.name = names[row];
    // Every line the service lists can carry data calls, so rows and devices go in step;
    // should they not, the first device of the same name is taken.
    if (row < static_cast<int>(infos.size()) && infos[row].name == choice.name) {
      choice.info = infos[row];
    } else {
      for (const telephony::LineInfo& info : infos) {
        if (info.name == choice.name) {
          choice.info = info;
          break;
        }
      }
    }
    choices.push_back(choice);
  }
  return choices;
}

LineChoice CheckLine(const TQuodem& modem, int index) {
  const std::vector<LineChoice> choices = ListLineChoices(modem);
  if (index < 0 || index >= static_cast<int>(choices.size())) {
    throw UsageError("there is no line " + std::to_string(index) + "; the lines are 0 to " +
                     std::to_string(choices.size() - 1) + " (see 'quodem lines')");
  }
  return choices[index];
}

void CheckNumberFree(const LineChoice& line) {
  if (line.info.hold == telephony::NumberHold::kHeldElsewhere) {
    throw UsageError("number " + line.info.address + " of line " + std::to_string(line.index) +
                     " (" + line.name + ") is already held by another process");
  }
}

std::string ListeningAddress(const LineChoice& line) {
  try {
    for (const telephony::LineInfo& info : telephony::ListLines()) {
      if (info.device_id == line.info.device_id && info.hold == telephony::NumberHold::kHeldHere) {
        return info.address;
      }
    }
  } catch (const std::exception&) {
    // The configuration changed under us: the address known from the start is what there is.
  }
  return line.info.address;
}

std::string CheckSaveDir(const std::string& dir, bool* created) {
  if (dir.empty()) throw UsageError("the save folder is an empty name");
  if (created != nullptr) *created = false;
  struct stat info {};
  if (::stat(dir.c_str(), &info) != 0) {
    if (errno != ENOENT) throw UsageError("save folder " + dir + ": " + std::strerror(errno));
    // Missing: made with its parents (mkdir -p). Something else in the way fails here.
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) throw UsageError("cannot create the save folder " + dir + ": " + error.message());
    if (created != nullptr) *created = true;
  }
  // The kernel resolves the path: text-level clean-up would turn "lnk/.." into ".".
  const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(dir.c_str(), nullptr),
                                                             &std::free);
  if (!resolved) throw UsageError("save folder " + dir + ": " + std::strerror(errno));
  const std::string path = resolved.get();
  if (::stat(path.c_str(), &info) != 0) {
    throw UsageError("save folder " + path + ": " + std::strerror(errno));
  }
  if (!S_ISDIR(info.st_mode)) throw UsageError("save folder " + path + " is not a folder");
  // Creating a file is the only test that also holds for root and read-only mounts.
  std::string probe = path + "/.quodem-probe-XXXXXX";
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) {
    throw UsageError("save folder " + path + " is not writable: " + std::strerror(errno));
  }
  ::close(fd);
  ::unlink(probe.c_str());
  return path;
}

ReceiveRules ReceiveRulesFrom(const ParsedArgs& args, const std::string& fallback) {
  ReceiveRules rules;
  rules.replace = args.Has("replace");
  rules.allow_hidden = args.Has("allow-hidden");
  const std::string dir = args.Value("save-dir", fallback);
  if (dir.empty() && !args.Has("save-dir")) {
    if (rules.replace || rules.allow_hidden) {
      throw UsageError("--replace and --allow-hidden apply to received files: give --save-dir");
    }
    return rules;
  }
  bool created = false;
  rules.save_dir = CheckSaveDir(dir, &created);
  rules.created = created;
  return rules;
}

void AnnounceSaveDir(Reporter& reporter, const ReceiveRules& rules) {
  if (rules.save_dir.empty()) return;  // each refused file is reported as it comes
  reporter.Note("saving received files in " + EscapeForDisplay(rules.save_dir) +
                (rules.created ? " (made for this run)" : "") +
                (rules.replace ? " (replacing files of the same name)" : ""));
}

void CheckFileToSend(const std::string& path) {
  // Looked at before it is opened, so that a device is never opened; opened without
  // blocking, so that a FIFO put there meanwhile cannot make the open wait for a writer.
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    throw UsageError("cannot send " + path + ": " + FileTypeWords(info.st_mode) +
                     ", not a regular file");
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) throw UsageError("cannot read " + path + ": " + std::strerror(errno));
  const int result = ::fstat(fd, &info);
  const int error = errno;
  ::close(fd);
  if (result != 0) throw UsageError("cannot read " + path + ": " + std::strerror(error));
  if (!S_ISREG(info.st_mode)) {
    throw UsageError("cannot send " + path + ": " + FileTypeWords(info.st_mode) +
                     ", not a regular file");
  }
  if (static_cast<std::uint64_t>(info.st_size) > 0xFFFFFFFFull) {
    throw UsageError("cannot send " + path + ": a file must be smaller than 4 GiB");
  }
  const std::string name = ExtractFileName(path);
  if (name.empty() || name.size() > kMaxSentNameBytes) {
    throw UsageError("cannot send " + path + ": the file name must be 1 to " +
                     std::to_string(kMaxSentNameBytes) + " bytes long");
  }
}

void CheckMessageToSend(const std::string& text) {
  if (text.size() > kMaxMessageBytes) {
    throw UsageError("a message can hold at most " + std::to_string(kMaxMessageBytes) +
                     " bytes; this one has " + std::to_string(text.size()));
  }
}

}  // namespace quodem::tool
