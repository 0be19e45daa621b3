// quodem lines: the lines a call can use, with what the telephony service says about each.
#include <cstdio>
#include <string>

#include "command.h"
#include "json.h"
#include "preflight.h"
#include "quodem/component/quodem.h"

namespace quodem::tool {

namespace {

const char* HoldJson(telephony::NumberHold hold) {
  switch (hold) {
    case telephony::NumberHold::kFree:
      return "free";
    case telephony::NumberHold::kHeldHere:
      return "held-here";
    case telephony::NumberHold::kHeldElsewhere:
      return "held-elsewhere";
    case telephony::NumberHold::kInUseByCall:
      return "in-use-by-call";
    case telephony::NumberHold::kMissing:
      return "missing";
    case telephony::NumberHold::kNotApplicable:
      break;
  }
  return "none";
}

const char* HoldWords(telephony::NumberHold hold) {
  switch (hold) {
    case telephony::NumberHold::kFree:
      return "free";
    case telephony::NumberHold::kHeldHere:
      return "held by this process";
    case telephony::NumberHold::kHeldElsewhere:
      return "held by another process";
    case telephony::NumberHold::kInUseByCall:
      return "in use by another process's outgoing call";
    case telephony::NumberHold::kMissing:
      return "missing";
    case telephony::NumberHold::kNotApplicable:
      break;
  }
  return "-";
}

// A modem device in use says by which process (its lock file names it).
std::string Status(const telephony::LineInfo& info) {
  if (info.hold == telephony::NumberHold::kHeldElsewhere && info.holder_pid > 0) {
    return "in use by PID " + std::to_string(info.holder_pid);
  }
  return HoldWords(info.hold);
}

int RunLines(const ParsedArgs& args) {
  LimitPositionals(args, 0);
  const bool json = args.Has("json");
  TQuodem modem;
  const std::vector<LineChoice> lines = ListLineChoices(modem);
  if (json) {
    for (const LineChoice& line : lines) {
      JsonObject object;
      object.Add("index", line.index)
          .AddName("name", line.name)
          .Add("provider", line.info.provider)
          .Add("address", line.info.address)
          .Add("hold", HoldJson(line.info.hold));
      if (line.info.holder_pid > 0) object.Add("pid", line.info.holder_pid);
      if (line.info.rate > 0) object.Add("rate", line.info.rate);
      if (!line.info.caller.empty()) object.Add("caller", line.info.caller);
      const std::string text = object.Text();
      std::printf("%s\n", text.c_str());
    }
    return kExitOk;
  }
  std::size_t name_width = 4, address_width = 7;
  for (const LineChoice& line : lines) {
    name_width = std::max(name_width, line.name.size());
    address_width = std::max(address_width, line.info.address.size());
  }
  std::printf("%-5s  %-*s  %-8s  %-*s  %s\n", "INDEX", static_cast<int>(name_width), "NAME",
              "PROVIDER", static_cast<int>(address_width), "ADDRESS", "STATUS");
  for (const LineChoice& line : lines) {
    std::printf("%-5d  %-*s  %-8s  %-*s  %s\n", line.index, static_cast<int>(name_width),
                line.name.c_str(), line.info.provider.empty() ? "?" : line.info.provider.c_str(),
                static_cast<int>(address_width), line.info.address.c_str(),
                Status(line.info).c_str());
  }
  return kExitOk;
}

}  // namespace

const Command kLinesCommand = {
    "lines",
    "list the lines that can carry data calls",
    "usage: quodem lines [--json]\n"
    "\n"
    "Lists the lines that can carry data calls: the index to give --line, the name, the\n"
    "provider (exchange: the local exchange; tcp: TCP/IP; modem: a Hayes modem), the address\n"
    "(the line's number, the address it listens on, or the modem's device) and whether its\n"
    "number is free, held by this process or held by another process (a 'quodem wait' is\n"
    "answering on it); a modem's device is free, in use by a process (its PID, from the\n"
    "device's lock file), or missing.\n"
    "\n"
    "  --json   one JSON object per line: {\"index\":0,\"name\":\"Local line 1\",\n"
    "           \"provider\":\"exchange\",\"address\":\"101\",\"hold\":\"free\"}\n"
    "           (hold: free, held-here, held-elsewhere, in-use-by-call, missing or none;\n"
    "           a modem line held by another program adds \"pid\")\n",
    {{"json", false, false}},
    RunLines,
};

}  // namespace quodem::tool
