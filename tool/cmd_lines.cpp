// quodem lines: the lines a call can use, with what the telephony service says about each.
#include <cstdio>

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
    case telephony::NumberHold::kMissing:
      return "missing";
    case telephony::NumberHold::kNotApplicable:
      break;
  }
  return "-";
}

int RunLines(const ParsedArgs& args) {
  LimitPositionals(args, 0);
  const bool json = args.Has("json");
  TQuodem modem;
  const std::vector<LineChoice> lines = ListLineChoices(modem);
  if (json) {
    for (const LineChoice& line : lines) {
      const std::string text = JsonObject()
                                   .Add("index", line.index)
                                   .Add("name", line.name)
                                   .Add("provider", line.info.provider)
                                   .Add("address", line.info.address)
                                   .Add("hold", HoldJson(line.info.hold))
                                   .Text();
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
                HoldWords(line.info.hold));
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
    "provider (exchange: the local exchange; tcp: TCP/IP), the address (the line's number,\n"
    "or the address it listens on) and whether its number is free, held by this process or\n"
    "held by another process (a 'quodem wait' is answering on it).\n"
    "\n"
    "  --json   one JSON object per line: {\"index\":0,\"name\":\"Local line 1\",\n"
    "           \"provider\":\"exchange\",\"address\":\"101\",\"hold\":\"free\"}\n"
    "           (hold: free, held-here, held-elsewhere or none)\n",
    {{"json", false, false}},
    RunLines,
};

}  // namespace quodem::tool
