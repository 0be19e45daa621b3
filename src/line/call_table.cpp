#include "line/call_table.h"

#include <algorithm>

namespace quodem::line {

LineOpen& CallTable::AddOpen(OpenId id, HLINE line, int row, OpenKind kind) {
  for (LineOpen& earlier : opens_) {
    if (earlier.row == row) earlier.open = false;
  }
  opens_.push_back(LineOpen{id, line, row, kind, true});
  return opens_.back();
}

LineOpen* CallTable::FindOpen(OpenId id) {
  for (LineOpen& open : opens_) {
    if (open.id == id) return &open;
  }
  return nullptr;
}

LineOpen* CallTable::FindWaiting(int row) {
  for (LineOpen& open : opens_) {
    if (open.open && open.row == row && open.kind == OpenKind::kWait) return &open;
  }
  return nullptr;
}

CallEntry& CallTable::AddCall(HCALL call, OpenId open, LONG request) {
  RemoveCall(call);  // a handle the service reused after a deallocation
  CallEntry entry;
  entry.call = call;
  entry.open = open;
  entry.request = request;
  calls_.push_back(entry);
  return calls_.back();
}

CallEntry* CallTable::FindCall(HCALL call) {
  for (CallEntry& entry : calls_) {
    if (entry.call == call) return &entry;
  }
  return nullptr;
}

CallEntry* CallTable::FindByRequest(LONG request) {
  for (CallEntry& entry : calls_) {
    if (entry.request == request) return &entry;
  }
  return nullptr;
}

CallEntry* CallTable::FindByAnswerRequest(LONG request) {
  for (CallEntry& entry : calls_) {
    if (entry.answer_request == request) return &entry;
  }
  return nullptr;
}

CallEntry* CallTable::Current() {
  return calls_.empty() ? nullptr : &calls_.back();
}

void CallTable::RemoveCall(HCALL call) {
  std::erase_if(calls_, [call](const CallEntry& entry) { return entry.call == call; });
}

bool CallTable::OpenHasCalls(OpenId id) const {
  return std::any_of(calls_.begin(), calls_.end(),
                     [id](const CallEntry& entry) { return entry.open == id; });
}

bool CallTable::HasOpenLines() const {
  return std::any_of(opens_.begin(), opens_.end(), [](const LineOpen& open) { return open.open; });
}

std::vector<OpenId> CallTable::DropClosedOpens() {
  std::vector<OpenId> dropped;
  std::erase_if(opens_, [&](const LineOpen& open) {
    if (open.open || OpenHasCalls(open.id)) return false;
    dropped.push_back(open.id);
    return true;
  });
  return dropped;
}

void CallTable::Clear() {
  opens_.clear();
  calls_.clear();
}

}  // namespace quodem::line
