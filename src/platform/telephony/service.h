// The telephony service: sessions, line and call handles, asynchronous requests, and the
// dispatcher thread that runs the providers' event loop and delivers every callback.
//
// One lock (mu_) guards all of it; providers run under it. The dispatcher thread delivers
// callbacks with the lock released, one at a time, in the order the notifications were
// queued per session; a callback may call any line function. A line function holds the lock
// from queueing its request's LINE_REPLY until it returns, and the dispatcher needs the lock
// to take a notification from the queue, so no reply arrives while the function that started
// the request is still running.
//
// The service lives for the whole process (it is never destroyed): component workers may
// still call line functions while static objects are torn down at exit.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/telephony/config.h"
#include "platform/telephony/provider.h"
#include "quodem/platform/telephony.h"
#include "quodem/platform/telephony_service.h"

namespace quodem::telephony {

class EventLoop;
class GracefulCloser;
class Resolver;

class Service {
 public:
  static Service& Instance();

  LONG Initialize(HLINEAPP* app, LINECALLBACK callback, DWORD* devices);
  LONG Shutdown(HLINEAPP app);
  LONG NegotiateApiVersion(HLINEAPP app, DWORD device, DWORD low, DWORD high, DWORD* version,
                           LINEEXTENSIONID* extension);
  LONG GetDevCaps(HLINEAPP app, DWORD device, DWORD version, DWORD ext_version, LINEDEVCAPS* caps);
  LONG Open(HLINEAPP app, DWORD device, HLINE* line, DWORD version, DWORD ext_version,
            DWORD_PTR instance, DWORD privileges, DWORD media_modes, const LINECALLPARAMS* params);
  LONG Close(HLINE line);
  LONG TranslateAddress(HLINEAPP app, DWORD device, DWORD version, const char* address, DWORD card,
                        LINETRANSLATEOUTPUT* output);
  LONG MakeCall(HLINE line, HCALL* call, const char* destination, const LINECALLPARAMS* params);
  LONG Answer(HCALL call);
  LONG Dial(HCALL call, const char* destination);
  LONG GetId(HLINE line, HCALL call, DWORD select, VARSTRING* id, const char* device_class);
  LONG GetCallInfo(HCALL call, LINECALLINFO* info);
  LONG Drop(HCALL call);
  LONG DeallocateCall(HCALL call);
  // lineTranslateDialogA's checks of the session, device and version (0 when fine).
  LONG CheckSessionDevice(HLINEAPP app, DWORD device, DWORD version);

  LONG LineAddressHeld(HLINE line);
  std::vector<LineInfo> ListLines();
  bool CloseLineByService(const std::string& number);
  std::string ConfigurationError();
  std::string Problem();
  CallEnding LastCallEnding();

 private:
  struct Message {
    DWORD device;
    DWORD message;
    DWORD_PTR instance;
    DWORD_PTR param1;
    DWORD_PTR param2;
    DWORD_PTR param3;
  };
  struct Session {
    HLINEAPP handle = 0;
    LINECALLBACK callback = nullptr;
    ServiceConfig config;
    std::vector<std::unique_ptr<Provider>> devices;
    std::deque<Message> queue;
  };
  struct OpenLine;
  struct Call;
  struct PendingRequest {
    HLINEAPP app;
    HCALL call;
    DWORD_PTR instance;
  };
  struct RetiredCall {
    HCALL handle;
    std::unique_ptr<ProviderCall> provider;
  };
  Service() = default;
  // Creates the event loop and starts the dispatcher thread (lock held). False on failure.
  bool EnsureStarted();
  void Run();
  void DeliverCallbacks(std::unique_lock<std::mutex>& lock);
  bool AnyQueued() const;
  void RetireCalls();

  void Enqueue(HLINEAPP app, const Message& message);
  Session* FindSession(HLINEAPP app);
  OpenLine* FindLine(HLINE line);
  Call* FindCall(HCALL call);
  LONG CheckDevice(HLINEAPP app, DWORD device, Session** session);
  DWORD NewHandle();
  DWORD NewRequest();
  Completion RequestCompletion(DWORD request);
  void CompleteRequest(DWORD request, LONG result);

  void CallStateChanged(Call& call, DWORD state, DWORD mode);
  bool OfferCall(OpenLine& line, std::unique_ptr<ProviderCall> provider);
  void ForceIdle(Call& call);
  void CloseLine(HLINE handle, bool tell_session);

  std::mutex mu_;
  std::condition_variable delivered_;  // a callback returned
  std::unique_ptr<EventLoop> loop_;
  std::unique_ptr<Resolver> resolver_;
  std::unique_ptr<GracefulCloser> closer_;
  std::unique_ptr<ProviderContext> context_;
  std::thread dispatcher_;
  std::thread::id dispatcher_id_;
  HLINEAPP delivering_app_ = 0;  // whose callback runs now (0: none)

  std::map<HLINEAPP, std::unique_ptr<Session>> sessions_;
  std::map<HLINE, std::unique_ptr<OpenLine>> lines_;
  std::map<HCALL, std::unique_ptr<Call>> calls_;
  std::map<DWORD, PendingRequest> requests_;
  std::vector<RetiredCall> retired_;
  DWORD next_handle_ = 0x10000;
  DWORD next_request_ = 1;
  std::string config_error_;
  std::string problem_;
  CallEnding last_ending_;
};

}  // namespace quodem::telephony
