#include "platform/telephony/service.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>

#include "platform/telephony/blocks.h"
#include "platform/telephony/event_loop.h"
#include "platform/telephony/faults.h"
#include "platform/telephony/graceful_close.h"
#include "platform/telephony/parking.h"
#include "platform/telephony/provider_kinds.h"
#include "platform/telephony/resolver.h"
#include "platform/telephony/translate.h"

namespace quodem::telephony {
namespace {

constexpr DWORD kLastHandle = 0xFFFFFFFEu;
constexpr DWORD kLastRequest = 0x7FFFFFFFu;
constexpr int kCallbacksPerPass = 256;  // then the loop looks at its descriptors again

bool VersionSupported(DWORD version) {
  return version >= kSupportedApiLow && version <= kSupportedApiHigh;
}

}  // namespace

// An open line as the service sees it: the session's handle, the callback instance, and
// the provider's line. It is the provider's LineEvents.
struct Service::OpenLine : LineEvents {
  Service* service = nullptr;
  HLINE handle = 0;
  HLINEAPP app = 0;
  DWORD device = 0;
  DWORD_PTR instance = 0;
  HCALL active = 0;  // the call that is not idle yet (one call per line)
  std::unique_ptr<ProviderLine> provider;

  bool HasActiveCall() const override { return active != 0; }
  bool ActiveCallEnding() const override;
  bool OfferCall(std::unique_ptr<ProviderCall> call) override {
    return service->OfferCall(*this, std::move(call));
  }
  void LineLost() override {
    // The provider is on the stack: the line goes when the loop next runs its tasks (with the
    // service lock held); a handle closed meanwhile is found no more.
    service->loop_->Post(
        [service = service, handle = handle] { service->CloseLine(handle, true); });
  }
};

// A call handle. It outlives its provider call: after the idle state the handle stays valid
// until lineDeallocateCall or the end of its session.
struct Service::Call : CallEvents {
  Service* service = nullptr;
  HCALL handle = 0;
  HLINEAPP app = 0;
  HLINE line = 0;
  DWORD_PTR instance = 0;
  DWORD state = 0;  // 0 until the provider reports the first state
  DWORD privilege = LINECALLPRIVILEGE_OWNER;
  std::unique_ptr<ProviderCall> provider;

  void CallStateChanged(DWORD new_state, DWORD mode) override {
    service->CallStateChanged(*this, new_state, mode);
  }
};

bool Service::OpenLine::ActiveCallEnding() const {
  const auto it = service->calls_.find(active);
  if (it == service->calls_.end()) return false;
  const Call& call = *it->second;
  return call.state == LINECALLSTATE_DISCONNECTED || (call.provider && call.provider->PeerHungUp());
}

Service& Service::Instance() {
  static Service* service = new Service;  // never destroyed; see the header
  return *service;
}

bool Service::EnsureStarted() {
  if (dispatcher_.joinable()) return true;
  try {
    loop_ = std::make_unique<EventLoop>();
  } catch (const std::exception& e) {
    problem_ = std::string("cannot start the telephony service: ") + e.what();
    return false;
  }
  resolver_ = std::make_unique<Resolver>(*loop_);
  closer_ = std::make_unique<GracefulCloser>(*loop_);
  context_ = std::make_unique<ProviderContext>(ProviderContext{
      *loop_, *resolver_, *closer_, [this](const std::string& problem) { problem_ = problem; }});
  dispatcher_ = std::thread([this] { Run(); });
  // Numbers parked between two calls are given back when the process exits normally, so it
  // leaves no socket behind in the exchange folder.
  std::atexit([] {
    Service& service = Instance();
    std::lock_guard<std::mutex> guard(service.mu_);
    GiveBackParkedAddresses();
  });
  return true;
}

void Service::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  dispatcher_id_ = std::this_thread::get_id();
  for (;;) {
    loop_->Dispatch();
    RetireCalls();
    DeliverCallbacks(lock);
    RetireCalls();
    int timeout = AnyQueued() ? 0 : loop_->MillisecondsToNextTimer();
    lock.unlock();
    loop_->WaitForEvents(timeout);
    lock.lock();
  }
}

bool Service::AnyQueued() const {
  for (const auto& [handle, session] : sessions_) {
    if (!session->queue.empty()) return true;
  }
  return false;
}

void Service::DeliverCallbacks(std::unique_lock<std::mutex>& lock) {
  int budget = kCallbacksPerPass;
  bool progress = true;
  while (progress && budget > 0) {
    progress = false;
    std::vector<HLINEAPP> apps;
    for (const auto& [handle, session] : sessions_) apps.push_back(handle);
    // One notification per session per round, so a busy session cannot starve the others.
    for (HLINEAPP app : apps) {
      Session* session = FindSession(app);
      if (session == nullptr || session->queue.empty()) continue;
      Message message = session->queue.front();
      session->queue.pop_front();
      LINECALLBACK callback = session->callback;
      delivering_app_ = app;
      lock.unlock();
      callback(message.device, message.message, message.instance, message.param1, message.param2,
               message.param3);
      lock.lock();
      delivering_app_ = 0;
      delivered_.notify_all();
      progress = true;
      --budget;
    }
  }
}

void Service::RetireCalls() {
  while (!retired_.empty()) {
    std::vector<RetiredCall> retired;
    retired.swap(retired_);
    for (RetiredCall& call : retired) {
      // A request the provider never completed (the call went away under it) fails now.
      std::vector<DWORD> unfinished;
      for (const auto& [request, pending] : requests_) {
        if (pending.call == call.handle) unfinished.push_back(request);
      }
      for (DWORD request : unfinished) CompleteRequest(request, LINEERR_OPERATIONFAILED);
      call.provider.reset();
    }
  }
}

void Service::Enqueue(HLINEAPP app, const Message& message) {
  Session* session = FindSession(app);
  if (session == nullptr) return;  // the session ended: nobody to tell
  session->queue.push_back(message);
  if (std::this_thread::get_id() != dispatcher_id_) loop_->Wake();
}

Service::Session* Service::FindSession(HLINEAPP app) {
  auto it = sessions_.find(app);
  return it == sessions_.end() ? nullptr : it->second.get();
}

Service::OpenLine* Service::FindLine(HLINE line) {
  auto it = lines_.find(line);
  return it == lines_.end() ? nullptr : it->second.get();
}

Service::Call* Service::FindCall(HCALL call) {
  auto it = calls_.find(call);
  return it == calls_.end() ? nullptr : it->second.get();
}

LONG Service::CheckDevice(HLINEAPP app, DWORD device, Session** session) {
  *session = FindSession(app);
  if (*session == nullptr) return LINEERR_INVALAPPHANDLE;
  if (device >= (*session)->devices.size()) return LINEERR_BADDEVICEID;
  return 0;
}

DWORD Service::NewHandle() {
  if (next_handle_ > kLastHandle) return 0;
  return next_handle_++;
}

DWORD Service::NewRequest() {
  if (next_request_ > kLastRequest) return 0;
  return next_request_++;
}

Completion Service::RequestCompletion(DWORD request) {
  return [this, request](LONG result) { CompleteRequest(request, result); };
}

void Service::CompleteRequest(DWORD request, LONG result) {
  auto it = requests_.find(request);
  if (it == requests_.end()) return;  // completed before
  PendingRequest pending = it->second;
  requests_.erase(it);
  Enqueue(pending.app, Message{0, LINE_REPLY, pending.instance, request,
                               static_cast<DWORD_PTR>(static_cast<DWORD>(result)), 0});
}

void Service::CallStateChanged(Call& call, DWORD state, DWORD mode) {
  if (call.state == LINECALLSTATE_IDLE) return;  // nothing follows idle
  call.state = state;
  if (state == LINECALLSTATE_DISCONNECTED) {
    const OpenLine* line = FindLine(call.line);
    last_ending_ = CallEnding{last_ending_.serial + 1, line != nullptr ? line->device : 0, mode};
  }
  Enqueue(call.app,
          Message{call.handle, LINE_CALLSTATE, call.instance, state, mode, call.privilege});
  if (state != LINECALLSTATE_IDLE) return;
  if (OpenLine* line = FindLine(call.line); line != nullptr && line->active == call.handle) {
    line->active = 0;
    // Told later, from the loop: the provider of the ended call may still be on the stack.
    loop_->Post([this, handle = line->handle] {
      OpenLine* free = FindLine(handle);
      if (free != nullptr && free->active == 0 && free->provider) free->provider->LineFree();
    });
  }
  if (call.provider) {
    // The provider may still be on the stack: it is destroyed by the dispatcher later.
    call.provider->AttachEvents(nullptr);
    retired_.push_back(RetiredCall{call.handle, std::move(call.provider)});
    loop_->Wake();
  }
}

bool Service::OfferCall(OpenLine& line, std::unique_ptr<ProviderCall> provider) {
  DWORD handle = NewHandle();
  if (handle == 0 || line.active != 0) return false;
  auto call = std::make_unique<Call>();
  call->service = this;
  call->handle = handle;
  call->app = line.app;
  call->line = line.handle;
  call->instance = line.instance;
  call->state = LINECALLSTATE_OFFERING;
  call->provider = std::move(provider);
  call->provider->AttachEvents(call.get());
  line.active = handle;
  calls_.emplace(handle, std::move(call));
  Enqueue(line.app, Message{handle, LINE_CALLSTATE, line.instance, LINECALLSTATE_OFFERING, 0,
                            LINECALLPRIVILEGE_OWNER});
  return true;
}

void Service::ForceIdle(Call& call) {
  if (call.state == LINECALLSTATE_IDLE) return;
  if (call.provider) {
    call.provider->AttachEvents(nullptr);  // the provider reports nothing more
    retired_.push_back(RetiredCall{call.handle, std::move(call.provider)});
    loop_->Wake();
  }
  CallStateChanged(call, LINECALLSTATE_IDLE, 0);
}

void Service::CloseLine(HLINE handle, bool tell_session) {
  OpenLine* line = FindLine(handle);
  if (line == nullptr) return;
  if (tell_session) {
    Enqueue(line->app, Message{line->handle, LINE_CLOSE, line->instance, 0, 0, 0});
  }
  if (Call* call = FindCall(line->active)) {
    // A caller offered on the line and not answered yet is kept with the line's address
    // rather than hung up: a line reopened here offers it again (see waiting_callers.h).
    if (call->state == LINECALLSTATE_OFFERING && call->provider && line->provider) {
      posix::UniqueFd fd = call->provider->TakeBackOffered();
      if (fd) line->provider->KeepCaller(std::move(fd), call->provider->CallerName());
    }
    ForceIdle(*call);
  }
  line->provider.reset();  // gives the number back, or parks it
  lines_.erase(handle);
}

// ---- line functions ----

LONG Service::Initialize(HLINEAPP* app, LINECALLBACK callback, DWORD* devices) {
  if (app == nullptr || devices == nullptr || callback == nullptr) return LINEERR_INVALPOINTER;
  if (std::optional<LONG> failure = faults::TakeInitializeFailure()) return *failure;
  ServiceConfig config;
  try {
    config = LoadConfig();
  } catch (const ConfigError& e) {
    std::lock_guard<std::mutex> guard(mu_);
    config_error_ = e.what();
    return LINEERR_INIFILECORRUPT;
  }
  std::lock_guard<std::mutex> guard(mu_);
  if (!EnsureStarted()) return LINEERR_OPERATIONFAILED;
  DWORD handle = NewHandle();
  if (handle == 0) return LINEERR_RESOURCEUNAVAIL;
  auto session = std::make_unique<Session>();
  session->handle = handle;
  session->callback = callback;
  session->config = std::move(config);
  for (const LineSettings& settings : session->config.lines) {
    const ProviderKind* kind = FindProviderKind(settings.provider);
    if (kind == nullptr) return LINEERR_INIFILECORRUPT;  // the parser lets none through
    session->devices.push_back(kind->create(settings, session->config, *context_));
  }
  *devices = static_cast<DWORD>(session->devices.size());
  sessions_.emplace(handle, std::move(session));
  *app = handle;
  return 0;
}

LONG Service::Shutdown(HLINEAPP app) {
  std::unique_lock<std::mutex> lock(mu_);
  if (FindSession(app) == nullptr) return LINEERR_INVALAPPHANDLE;
  std::vector<HLINE> lines;
  for (const auto& [handle, line] : lines_) {
    if (line->app == app) lines.push_back(handle);
  }
  for (HLINE line : lines) CloseLine(line, false);
  std::vector<HCALL> calls;
  for (const auto& [handle, call] : calls_) {
    if (call->app == app) calls.push_back(handle);
  }
  for (HCALL handle : calls) {
    ForceIdle(*calls_[handle]);
    calls_.erase(handle);
  }
  std::erase_if(requests_, [app](const auto& entry) { return entry.second.app == app; });
  sessions_.erase(app);
  // Once lineShutdown returns, the session's callback is not running (unless lineShutdown
  // was called from that very callback).
  if (std::this_thread::get_id() != dispatcher_id_) {
    delivered_.wait(lock, [this, app] { return delivering_app_ != app; });
  }
  return 0;
}

LONG Service::NegotiateApiVersion(HLINEAPP app, DWORD device, DWORD low, DWORD high, DWORD* version,
                                  LINEEXTENSIONID* extension) {
  std::lock_guard<std::mutex> guard(mu_);
  Session* session;
  if (LONG result = CheckDevice(app, device, &session)) return result;
  if (version == nullptr || extension == nullptr) return LINEERR_INVALPOINTER;
  if (low > high || high < kSupportedApiLow || low > kSupportedApiHigh) {
    return LINEERR_INCOMPATIBLEAPIVERSION;
  }
  *version = std::min(high, kSupportedApiHigh);
  *extension = LINEEXTENSIONID{};
  return 0;
}

LONG Service::GetDevCaps(HLINEAPP app, DWORD device, DWORD version, DWORD ext_version,
                         LINEDEVCAPS* caps) {
  std::lock_guard<std::mutex> guard(mu_);
  Session* session;
  if (LONG result = CheckDevice(app, device, &session)) return result;
  if (!VersionSupported(version)) return LINEERR_INCOMPATIBLEAPIVERSION;
  if (ext_version != 0) return LINEERR_INCOMPATIBLEEXTVERSION;
  if (caps == nullptr) return LINEERR_INVALPOINTER;
  return FillDevCaps(*session->devices[device], device, caps);
}

LONG Service::Open(HLINEAPP app, DWORD device, HLINE* line, DWORD version, DWORD ext_version,
                   DWORD_PTR instance, DWORD privileges, DWORD media_modes,
                   const LINECALLPARAMS* params) {
  (void)params;  // no provider takes call parameters at open
  std::lock_guard<std::mutex> guard(mu_);
  Session* session;
  if (LONG result = CheckDevice(app, device, &session)) return result;
  if (line == nullptr) return LINEERR_INVALPOINTER;
  if (!VersionSupported(version)) return LINEERR_INCOMPATIBLEAPIVERSION;
  if (ext_version != 0) return LINEERR_INCOMPATIBLEEXTVERSION;
  constexpr DWORD kAllPrivileges =
      LINECALLPRIVILEGE_NONE | LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER;
  if (privileges == 0 || (privileges & ~kAllPrivileges) != 0 ||
      ((privileges & LINECALLPRIVILEGE_NONE) != 0 && privileges != LINECALLPRIVILEGE_NONE)) {
    return LINEERR_INVALPRIVSELECT;
  }
  bool owner = (privileges & LINECALLPRIVILEGE_OWNER) != 0;
  if (owner && (media_modes == 0 || (media_modes & ~LINEMEDIAMODE_DATAMODEM) != 0)) {
    return LINEERR_INVALMEDIAMODE;
  }
  // Opening a device again in the same session replaces the earlier handle.
  std::vector<HLINE> earlier;
  for (const auto& [handle, open] : lines_) {
    if (open->app == app && open->device == device) earlier.push_back(handle);
  }
  for (HLINE handle : earlier) CloseLine(handle, false);

  DWORD handle = NewHandle();
  if (handle == 0) return LINEERR_RESOURCEUNAVAIL;
  auto open = std::make_unique<OpenLine>();
  open->service = this;
  open->handle = handle;
  open->app = app;
  open->device = device;
  open->instance = instance;
  LONG result = session->devices[device]->Open(owner, open.get(), &open->provider);
  if (result != 0) return result;
  lines_.emplace(handle, std::move(open));
  *line = handle;
  return 0;
}

LONG Service::Close(HLINE line) {
  std::lock_guard<std::mutex> guard(mu_);
  OpenLine* open = FindLine(line);
  if (open == nullptr) return LINEERR_INVALLINEHANDLE;
  CloseLine(line, false);
  return 0;
}

LONG Service::TranslateAddress(HLINEAPP app, DWORD device, DWORD version, const char* address,
                               DWORD card, LINETRANSLATEOUTPUT* output) {
  std::lock_guard<std::mutex> guard(mu_);
  Session* session;
  if (LONG result = CheckDevice(app, device, &session)) return result;
  if (!VersionSupported(version)) return LINEERR_INCOMPATIBLEAPIVERSION;
  if (output == nullptr) return LINEERR_INVALPOINTER;
  if (card != 0) return LINEERR_INVALCARD;  // no calling cards
  if (address == nullptr) return LINEERR_INVALADDRESS;
  Translation translation;
  if (LONG result =
          session->devices[device]->Translate(address, session->config.location, &translation)) {
    return result;
  }
  return WriteTranslateOutput(translation, output);
}

LONG Service::MakeCall(HLINE line, HCALL* call, const char* destination,
                       const LINECALLPARAMS* params) {
  std::lock_guard<std::mutex> guard(mu_);
  OpenLine* open = FindLine(line);
  if (open == nullptr) return LINEERR_INVALLINEHANDLE;
  if (call == nullptr) return LINEERR_INVALPOINTER;
  if (destination == nullptr) return LINEERR_INVALADDRESS;  // no dial-tone-only calls
  if (params != nullptr) {
    if (params->dwTotalSize < sizeof(LINECALLPARAMS)) return LINEERR_STRUCTURETOOSMALL;
    if (params->dwMediaMode != 0 && (params->dwMediaMode & LINEMEDIAMODE_DATAMODEM) == 0) {
      return LINEERR_INVALMEDIAMODE;
    }
    if (params->dwBearerMode != 0 && params->dwBearerMode != LINEBEARERMODE_VOICE &&
        params->dwBearerMode != LINEBEARERMODE_DATA) {
      return LINEERR_BEARERMODEUNAVAIL;
    }
  }
  if (open->active != 0) return LINEERR_CALLUNAVAIL;
  LONG error = 0;
  std::unique_ptr<ProviderCall> provider = open->provider->MakeCall(destination, &error);
  if (!provider) return error != 0 ? error : LINEERR_OPERATIONFAILED;
  DWORD request = NewRequest();
  DWORD handle = NewHandle();
  if (request == 0 || handle == 0) return LINEERR_RESOURCEUNAVAIL;
  if (std::optional<LONG> failure = faults::TakeMakeCallReplyFailure()) {
    // Failed asynchronously: the handle written is never valid, nothing is dialed.
    *call = handle;
    Enqueue(open->app, Message{0, LINE_REPLY, open->instance, request,
                               static_cast<DWORD_PTR>(static_cast<DWORD>(*failure)), 0});
    return static_cast<LONG>(request);
  }
  auto record = std::make_unique<Call>();
  record->service = this;
  record->handle = handle;
  record->app = open->app;
  record->line = open->handle;
  record->instance = open->instance;
  record->provider = std::move(provider);
  record->provider->AttachEvents(record.get());
  Call& placed = *record;
  calls_.emplace(handle, std::move(record));
  open->active = handle;
  *call = handle;
  Enqueue(open->app, Message{0, LINE_REPLY, open->instance, request, 0, 0});
  placed.provider->Start();
  return static_cast<LONG>(request);
}

LONG Service::Answer(HCALL call) {
  std::lock_guard<std::mutex> guard(mu_);
  Call* record = FindCall(call);
  if (record == nullptr) return LINEERR_INVALCALLHANDLE;
  if (std::optional<LONG> result = faults::TakeAnswerReturn()) return *result;
  if (record->state != LINECALLSTATE_OFFERING || !record->provider) {
    return LINEERR_INVALCALLSTATE;
  }
  DWORD request = NewRequest();
  if (request == 0) return LINEERR_RESOURCEUNAVAIL;
  requests_.emplace(request, PendingRequest{record->app, record->handle, record->instance});
  if (std::optional<LONG> failure = faults::TakeAnswerReplyFailure()) {
    CompleteRequest(request, *failure);  // the call stays offered
  } else {
    record->provider->Answer(RequestCompletion(request));
  }
  return static_cast<LONG>(request);
}

LONG Service::Dial(HCALL call, const char* destination) {
  std::lock_guard<std::mutex> guard(mu_);
  Call* record = FindCall(call);
  if (record == nullptr) return LINEERR_INVALCALLHANDLE;
  if (!record->provider || !record->provider->CanTakeDigits()) return LINEERR_INVALCALLSTATE;
  if (destination == nullptr) return LINEERR_INVALADDRESS;
  DWORD request = NewRequest();
  if (request == 0) return LINEERR_RESOURCEUNAVAIL;
  requests_.emplace(request, PendingRequest{record->app, record->handle, record->instance});
  record->provider->DialDigits(destination, RequestCompletion(request));
  return static_cast<LONG>(request);
}

LONG Service::GetId(HLINE line, HCALL call, DWORD select, VARSTRING* id, const char* device_class) {
  (void)line;
  std::lock_guard<std::mutex> guard(mu_);
  if (id == nullptr || device_class == nullptr) return LINEERR_INVALPOINTER;
  if (strcasecmp(device_class, "comm/datamodem") != 0) return LINEERR_INVALDEVICECLASS;
  if (select == LINECALLSELECT_LINE || select == LINECALLSELECT_ADDRESS) {
    return LINEERR_OPERATIONUNAVAIL;  // a port exists only for a connected call
  }
  if (select != LINECALLSELECT_CALL) return LINEERR_INVALCALLSELECT;
  Call* record = FindCall(call);
  if (record == nullptr) return LINEERR_INVALCALLHANDLE;
  if (record->state != LINECALLSTATE_CONNECTED || !record->provider) {
    return LINEERR_INVALCALLSTATE;
  }
  std::string name = record->provider->PortDeviceName();
  if (LONG result = CheckDataModemIdBlock(name, id)) return result;
  HANDLE port = record->provider->OpenPort();
  if (port == 0) return LINEERR_OPERATIONFAILED;
  WriteDataModemId(port, name, id);
  return 0;
}

LONG Service::GetCallInfo(HCALL call, LINECALLINFO* info) {
  std::lock_guard<std::mutex> guard(mu_);
  if (info == nullptr) return LINEERR_INVALPOINTER;
  Call* record = FindCall(call);
  if (record == nullptr) return LINEERR_INVALCALLHANDLE;
  if (info->dwTotalSize < sizeof(LINECALLINFO)) return LINEERR_STRUCTURETOOSMALL;
  const DWORD total = info->dwTotalSize;
  *info = LINECALLINFO{};
  info->dwTotalSize = total;
  info->dwNeededSize = info->dwUsedSize = sizeof(LINECALLINFO);
  info->hLine = record->line;
  if (OpenLine* line = FindLine(record->line)) info->dwLineDeviceID = line->device;
  info->dwBearerMode = LINEBEARERMODE_DATA;
  info->dwMediaMode = LINEMEDIAMODE_DATAMODEM;
  if (record->state == LINECALLSTATE_CONNECTED && record->provider) {
    info->dwRate = record->provider->Rate();
  }
  return 0;
}

LONG Service::Drop(HCALL call) {
  std::lock_guard<std::mutex> guard(mu_);
  Call* record = FindCall(call);
  if (record == nullptr) return LINEERR_INVALCALLHANDLE;
  if (record->state == LINECALLSTATE_IDLE || !record->provider) return LINEERR_INVALCALLSTATE;
  DWORD request = NewRequest();
  if (request == 0) return LINEERR_RESOURCEUNAVAIL;
  requests_.emplace(request, PendingRequest{record->app, record->handle, record->instance});
  record->provider->Drop(RequestCompletion(request));
  return static_cast<LONG>(request);
}

LONG Service::DeallocateCall(HCALL call) {
  std::lock_guard<std::mutex> guard(mu_);
  Call* record = FindCall(call);
  if (record == nullptr) return LINEERR_INVALCALLHANDLE;
  if (record->state != LINECALLSTATE_IDLE) return LINEERR_INVALCALLSTATE;
  calls_.erase(call);
  return 0;
}

LONG Service::CheckSessionDevice(HLINEAPP app, DWORD device, DWORD version) {
  std::lock_guard<std::mutex> guard(mu_);
  Session* session;
  if (LONG result = CheckDevice(app, device, &session)) return result;
  if (!VersionSupported(version)) return LINEERR_INCOMPATIBLEAPIVERSION;
  return 0;
}

// ---- the rest of telephony_service.h ----

std::vector<LineInfo> Service::ListLines() {
  ServiceConfig config = LoadConfig();  // throws ConfigError, a std::runtime_error
  std::lock_guard<std::mutex> guard(mu_);
  if (!EnsureStarted()) throw std::runtime_error(problem_);
  std::vector<LineInfo> lines;
  DWORD device = 0;
  for (const LineSettings& settings : config.lines) {
    const ProviderKind* kind = FindProviderKind(settings.provider);
    if (kind == nullptr) continue;
    lines.push_back(kind->create(settings, config, *context_)->Describe(device++));
  }
  return lines;
}

LONG Service::LineAddressHeld(HLINE line) {
  std::lock_guard<std::mutex> guard(mu_);
  OpenLine* open = FindLine(line);
  if (open == nullptr) return LINEERR_INVALLINEHANDLE;
  std::string why;
  if (open->provider->HoldsAddress(&why) != ProviderLine::AddressHold::kNotHeld) return 0;
  problem_ = why;
  return LINEERR_RESOURCEUNAVAIL;
}

bool Service::CloseLineByService(const std::string& number) {
  std::lock_guard<std::mutex> guard(mu_);
  for (const auto& [handle, line] : lines_) {
    if (line->provider && line->provider->Holds(number)) {
      CloseLine(handle, true);
      return true;
    }
  }
  return false;
}

std::string Service::ConfigurationError() {
  std::lock_guard<std::mutex> guard(mu_);
  return config_error_;
}

std::string Service::Problem() {
  std::lock_guard<std::mutex> guard(mu_);
  return problem_;
}

CallEnding Service::LastCallEnding() {
  std::lock_guard<std::mutex> guard(mu_);
  return last_ending_;
}

}  // namespace quodem::telephony
