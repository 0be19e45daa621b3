// TQuodemThread: a component's event worker. It waits for the notification event
// "LineModemEvent" (shared by every component of the process) or for its component's private
// stop event; on a notification it resets the event and runs the owner's DoLineState.
#pragma once

#include "quodem/component/quodem.h"

namespace quodem {

class TQuodemThread : public TThread {
 public:
  // Use TThread::Create<TQuodemThread>(false, owner): the body starts after FOwner is set.
  explicit TQuodemThread(TQuodem* owner) : FOwner(owner) {}

 protected:
  void Execute() override;

 private:
  TQuodem* FOwner;
};

}  // namespace quodem
