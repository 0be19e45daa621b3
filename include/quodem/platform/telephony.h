// The telephony service: line devices that carry data-modem calls, with the names,
// arguments, results and notifications of the Telephony API line functions (ANSI forms,
// version 1.x) that the component was designed on.
//
// Results: 0 is success, a negative value a LINEERR_ code. lineMakeCallA, lineAnswer and
// lineDrop are asynchronous: they return a positive request identifier at once, and the
// request's outcome arrives later as LINE_REPLY (parameter 1 the identifier, parameter 2 the
// outcome: 0 or a LINEERR_ code).
//
// Callbacks are delivered on the service's own thread, never inside the call that caused
// them, one at a time per session and in the order the events happened. A request's
// LINE_REPLY is never delivered before the function that started the request has returned.
// A callback may call back into the service. Request identifiers and call handles are unique
// in the process and never reused.
//
// Variable-size blocks (LINEDEVCAPS, LINETRANSLATEOUTPUT, VARSTRING) are a fixed part
// followed by variable data addressed by offsets from the block's start. The caller sets
// dwTotalSize; the service sets dwNeededSize and dwUsedSize. A block too small for the fixed
// part gets LINEERR_STRUCTURETOOSMALL; one too small for the variable data gets dwNeededSize
// set and, where the data is essential (lineTranslateAddressA, lineGetIDA),
// LINEERR_STRUCTURETOOSMALL. Nothing is ever written beyond dwTotalSize.
//
// Versions: the service supports 0x00010000 to 0x00010028 (kSupportedApiLow/High).
// Negotiation agrees on the highest version both accept. lineOpenA, lineGetDevCapsA and
// lineTranslateAddressA accept any supported version even when the session never negotiated.
#pragma once

#include <cstdint>

#include "quodem/platform/system.h"

namespace quodem {

using HLINEAPP = std::uint32_t;
using HLINE = std::uint32_t;
using HCALL = std::uint32_t;
using HWND = void*;
using HINSTANCE = void*;

using LINECALLBACK = void (*)(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwInstance,
                              DWORD_PTR dwParam1, DWORD_PTR dwParam2, DWORD_PTR dwParam3);

constexpr DWORD kSupportedApiLow = 0x00010000;
constexpr DWORD kSupportedApiHigh = 0x00010028;

// Messages.
constexpr DWORD LINE_CALLSTATE = 2;
constexpr DWORD LINE_CLOSE = 3;
constexpr DWORD LINE_REPLY = 12;

// Call states (parameter 1 of LINE_CALLSTATE).
constexpr DWORD LINECALLSTATE_IDLE = 0x00000001;
constexpr DWORD LINECALLSTATE_OFFERING = 0x00000002;
constexpr DWORD LINECALLSTATE_ACCEPTED = 0x00000004;
constexpr DWORD LINECALLSTATE_DIALTONE = 0x00000008;
constexpr DWORD LINECALLSTATE_DIALING = 0x00000010;
constexpr DWORD LINECALLSTATE_RINGBACK = 0x00000020;
constexpr DWORD LINECALLSTATE_BUSY = 0x00000040;
constexpr DWORD LINECALLSTATE_SPECIALINFO = 0x00000080;
constexpr DWORD LINECALLSTATE_CONNECTED = 0x00000100;
constexpr DWORD LINECALLSTATE_PROCEEDING = 0x00000200;
constexpr DWORD LINECALLSTATE_ONHOLD = 0x00000400;
constexpr DWORD LINECALLSTATE_CONFERENCED = 0x00000800;
constexpr DWORD LINECALLSTATE_ONHOLDPENDCONF = 0x00001000;
constexpr DWORD LINECALLSTATE_ONHOLDPENDTRANSFER = 0x00002000;
constexpr DWORD LINECALLSTATE_DISCONNECTED = 0x00004000;
constexpr DWORD LINECALLSTATE_UNKNOWN = 0x00008000;

constexpr DWORD LINECALLPRIVILEGE_NONE = 0x00000001;
constexpr DWORD LINECALLPRIVILEGE_MONITOR = 0x00000002;
constexpr DWORD LINECALLPRIVILEGE_OWNER = 0x00000004;

constexpr DWORD LINEMEDIAMODE_UNKNOWN = 0x00000002;
constexpr DWORD LINEMEDIAMODE_INTERACTIVEVOICE = 0x00000004;
constexpr DWORD LINEMEDIAMODE_DATAMODEM = 0x00000010;

constexpr DWORD LINEBEARERMODE_VOICE = 0x00000001;
constexpr DWORD LINEBEARERMODE_DATA = 0x00000010;

constexpr DWORD LINECALLPARAMFLAGS_IDLE = 0x00000002;
constexpr DWORD LINEADDRESSMODE_ADDRESSID = 0x00000001;

constexpr DWORD LINECALLSELECT_LINE = 0x00000001;
constexpr DWORD LINECALLSELECT_ADDRESS = 0x00000002;
constexpr DWORD LINECALLSELECT_CALL = 0x00000004;

constexpr DWORD STRINGFORMAT_ASCII = 0x00000001;
constexpr DWORD STRINGFORMAT_BINARY = 0x00000004;

constexpr DWORD LINETRANSLATERESULT_CANONICAL = 0x00000001;
constexpr DWORD LINETRANSLATERESULT_INTERNATIONAL = 0x00000002;
constexpr DWORD LINETRANSLATERESULT_LONGDISTANCE = 0x00000004;
constexpr DWORD LINETRANSLATERESULT_LOCAL = 0x00000008;
constexpr DWORD LINETRANSLATERESULT_NOTCANONICAL = 0x00000010;

// Detail of a call state (parameter 2 of LINE_CALLSTATE) for the disconnected and busy
// states; 0 for the others.
constexpr DWORD LINEDISCONNECTMODE_NORMAL = 0x00000001;  // the peer hung up
constexpr DWORD LINEDISCONNECTMODE_UNKNOWN = 0x00000002;
constexpr DWORD LINEDISCONNECTMODE_REJECT = 0x00000004;
constexpr DWORD LINEDISCONNECTMODE_BUSY = 0x00000020;
constexpr DWORD LINEDISCONNECTMODE_NOANSWER = 0x00000040;
constexpr DWORD LINEDISCONNECTMODE_BADADDRESS = 0x00000080;
constexpr DWORD LINEDISCONNECTMODE_UNREACHABLE = 0x00000100;
constexpr DWORD LINEDISCONNECTMODE_INCOMPATIBLE = 0x00000400;
constexpr DWORD LINEDISCONNECTMODE_UNAVAIL = 0x00000800;     // the line could not place it
constexpr DWORD LINEDISCONNECTMODE_NODIALTONE = 0x00001000;  // no dial tone (TAPI 1.4)
constexpr DWORD LINEDISCONNECTMODE_BLOCKED = 0x00020000;     // the number may not be dialled
constexpr DWORD LINEBUSYMODE_STATION = 0x00000001;

// Result codes (the documented values).
constexpr LONG LINEERR_ALLOCATED = static_cast<LONG>(0x80000001);
constexpr LONG LINEERR_BADDEVICEID = static_cast<LONG>(0x80000002);
constexpr LONG LINEERR_BEARERMODEUNAVAIL = static_cast<LONG>(0x80000003);
constexpr LONG LINEERR_CALLUNAVAIL = static_cast<LONG>(0x80000005);
constexpr LONG LINEERR_INCOMPATIBLEAPIVERSION = static_cast<LONG>(0x8000000C);
constexpr LONG LINEERR_INCOMPATIBLEEXTVERSION = static_cast<LONG>(0x8000000D);
constexpr LONG LINEERR_INIFILECORRUPT = static_cast<LONG>(0x8000000E);
constexpr LONG LINEERR_INUSE = static_cast<LONG>(0x8000000F);
constexpr LONG LINEERR_INVALADDRESS = static_cast<LONG>(0x80000010);
constexpr LONG LINEERR_INVALAPPHANDLE = static_cast<LONG>(0x80000014);
constexpr LONG LINEERR_INVALCALLHANDLE = static_cast<LONG>(0x80000018);
constexpr LONG LINEERR_INVALCALLPARAMS = static_cast<LONG>(0x80000019);
constexpr LONG LINEERR_INVALCALLPRIVILEGE = static_cast<LONG>(0x8000001A);
constexpr LONG LINEERR_INVALCALLSELECT = static_cast<LONG>(0x8000001B);
constexpr LONG LINEERR_INVALCALLSTATE = static_cast<LONG>(0x8000001C);
constexpr LONG LINEERR_INVALCARD = static_cast<LONG>(0x8000001E);
constexpr LONG LINEERR_INVALCOUNTRYCODE = static_cast<LONG>(0x80000022);
constexpr LONG LINEERR_INVALDEVICECLASS = static_cast<LONG>(0x80000023);
constexpr LONG LINEERR_INVALLINEHANDLE = static_cast<LONG>(0x8000002B);
constexpr LONG LINEERR_INVALMEDIAMODE = static_cast<LONG>(0x8000002F);
constexpr LONG LINEERR_INVALPARAM = static_cast<LONG>(0x80000032);
constexpr LONG LINEERR_INVALPOINTER = static_cast<LONG>(0x80000035);
constexpr LONG LINEERR_INVALPRIVSELECT = static_cast<LONG>(0x80000036);
constexpr LONG LINEERR_NODEVICE = static_cast<LONG>(0x80000042);
constexpr LONG LINEERR_NODRIVER = static_cast<LONG>(0x80000043);
constexpr LONG LINEERR_NOMEM = static_cast<LONG>(0x80000044);
constexpr LONG LINEERR_OPERATIONFAILED = static_cast<LONG>(0x80000048);
constexpr LONG LINEERR_OPERATIONUNAVAIL = static_cast<LONG>(0x80000049);
constexpr LONG LINEERR_RESOURCEUNAVAIL = static_cast<LONG>(0x8000004B);
constexpr LONG LINEERR_STRUCTURETOOSMALL = static_cast<LONG>(0x8000004D);
constexpr LONG LINEERR_UNINITIALIZED = static_cast<LONG>(0x80000050);

struct LINEEXTENSIONID {
  DWORD dwExtensionID0 = 0;
  DWORD dwExtensionID1 = 0;
  DWORD dwExtensionID2 = 0;
  DWORD dwExtensionID3 = 0;
};

struct LINEDIALPARAMS {
  DWORD dwDialPause;
  DWORD dwDialSpeed;
  DWORD dwDigitDuration;
  DWORD dwWaitForDialtone;
};

// Device capabilities; the line name (zero-terminated) and provider info follow as
// variable data.
struct LINEDEVCAPS {
  DWORD dwTotalSize;
  DWORD dwNeededSize;
  DWORD dwUsedSize;
  DWORD dwProviderInfoSize;
  DWORD dwProviderInfoOffset;
  DWORD dwSwitchInfoSize;
  DWORD dwSwitchInfoOffset;
  DWORD dwPermanentLineID;
  DWORD dwLineNameSize;
  DWORD dwLineNameOffset;
  DWORD dwStringFormat;
  DWORD dwAddressModes;
  DWORD dwNumAddresses;
  DWORD dwBearerModes;
  DWORD dwMaxRate;
  DWORD dwMediaModes;
  DWORD dwGenerateToneModes;
  DWORD dwGenerateToneMaxNumFreq;
  DWORD dwGenerateDigitModes;
  DWORD dwMonitorToneMaxNumFreq;
  DWORD dwMonitorToneMaxNumEntries;
  DWORD dwMonitorDigitModes;
  DWORD dwGatherDigitsMinTimeout;
  DWORD dwGatherDigitsMaxTimeout;
  DWORD dwMedCtlDigitMaxListSize;
  DWORD dwMedCtlMediaMaxListSize;
  DWORD dwMedCtlToneMaxListSize;
  DWORD dwMedCtlCallStateMaxListSize;
  DWORD dwDevCapFlags;
  DWORD dwMaxNumActiveCalls;
  DWORD dwAnswerMode;
  DWORD dwRingModes;
  DWORD dwLineStates;
  DWORD dwUUIAcceptSize;
  DWORD dwUUIAnswerSize;
  DWORD dwUUIMakeCallSize;
  DWORD dwUUIDropSize;
  DWORD dwUUISendUserUserInfoSize;
  DWORD dwUUICallInfoSize;
  LINEDIALPARAMS MinDialParams;
  LINEDIALPARAMS MaxDialParams;
  LINEDIALPARAMS DefaultDialParams;
  DWORD dwNumTerminals;
  DWORD dwTerminalCapsSize;
  DWORD dwTerminalCapsOffset;
  DWORD dwTerminalTextEntrySize;
  DWORD dwTerminalTextSize;
  DWORD dwTerminalTextOffset;
  DWORD dwDevSpecificSize;
  DWORD dwDevSpecificOffset;
};

struct LINETRANSLATEOUTPUT {
  DWORD dwTotalSize;
  DWORD dwNeededSize;
  DWORD dwUsedSize;
  DWORD dwDialableStringSize;  // bytes, terminating zero included
  DWORD dwDialableStringOffset;
  DWORD dwDisplayableStringSize;  // bytes, terminating zero included
  DWORD dwDisplayableStringOffset;
  DWORD dwCurrentCountry;
  DWORD dwDestCountry;
  DWORD dwTranslateResults;
};

struct LINECALLPARAMS {
  DWORD dwTotalSize;
  DWORD dwBearerMode;
  DWORD dwMinRate;
  DWORD dwMaxRate;
  DWORD dwMediaMode;
  DWORD dwCallParamFlags;
  DWORD dwAddressMode;
  DWORD dwAddressID;
  LINEDIALPARAMS DialParams;
  DWORD dwOrigAddressSize;
  DWORD dwOrigAddressOffset;
  DWORD dwDisplayableAddressSize;
  DWORD dwDisplayableAddressOffset;
  DWORD dwCalledPartySize;
  DWORD dwCalledPartyOffset;
  DWORD dwCommentSize;
  DWORD dwCommentOffset;
  DWORD dwUserUserInfoSize;
  DWORD dwUserUserInfoOffset;
  DWORD dwHighLevelCompSize;
  DWORD dwHighLevelCompOffset;
  DWORD dwLowLevelCompSize;
  DWORD dwLowLevelCompOffset;
  DWORD dwDevSpecificSize;
  DWORD dwDevSpecificOffset;
};

// What lineGetCallInfoA tells of a call: the fixed head of the usual call-information block
// (this service offers none of its variable part). dwRate is the rate the call connected at,
// in bits per second, when the line learned one (a modem's CONNECT rate), else 0.
struct LINECALLINFO {
  DWORD dwTotalSize;
  DWORD dwNeededSize;
  DWORD dwUsedSize;
  HLINE hLine;
  DWORD dwLineDeviceID;
  DWORD dwAddressID;
  DWORD dwBearerMode;
  DWORD dwRate;
  DWORD dwMediaMode;
};

struct VARSTRING {
  DWORD dwTotalSize;
  DWORD dwNeededSize;
  DWORD dwUsedSize;
  DWORD dwStringFormat;
  DWORD dwStringSize;
  DWORD dwStringOffset;
};

// Starts a session: *lphLineApp receives its handle, *lpdwNumDevs the number of line devices
// (reading the configuration; see platform/telephony_service.h). `lpfnCallback` receives the
// session's notifications.
LONG lineInitialize(HLINEAPP* lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback,
                    const char* lpszAppName, DWORD* lpdwNumDevs);
LONG lineShutdown(HLINEAPP hLineApp);  // closes the session's lines (dropping their calls)
LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion,
                             DWORD dwAPIHighVersion, DWORD* lpdwAPIVersion,
                             LINEEXTENSIONID* lpExtensionID);
LONG lineGetDevCapsA(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                     LINEDEVCAPS* lpLineDevCaps);
// Opening with owner privilege takes the line's number when it is free (see
// telephony_service.h); when another session or process holds it, the open still succeeds
// and the line serves outgoing calls only. dwCallbackInstance is passed back unchanged.
LONG lineOpenA(HLINEAPP hLineApp, DWORD dwDeviceID, HLINE* lphLine, DWORD dwAPIVersion,
               DWORD dwExtVersion, DWORD_PTR dwCallbackInstance, DWORD dwPrivileges,
               DWORD dwMediaModes, const LINECALLPARAMS* lpCallParams);
// Closes the line and gives its number back (a line that waited for calls keeps it for a
// moment, see telephony_service.h); a call still on it is dropped and goes idle.
LONG lineClose(HLINE hLine);
// Turns what a user types into a dialable and a displayable string (see
// telephony_service.h for the rules). Empty or illegal input: LINEERR_INVALADDRESS.
LONG lineTranslateAddressA(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion,
                           const char* lpszAddressIn, DWORD dwCard, DWORD dwTranslateOptions,
                           LINETRANSLATEOUTPUT* lpTranslateOutput);
// *lphCall receives the new call before the function returns.
LONG lineMakeCallA(HLINE hLine, HCALL* lphCall, const char* lpszDestAddress, DWORD dwCountryCode,
                   const LINECALLPARAMS* lpCallParams);
LONG lineAnswer(HCALL hCall, const char* lpsUserUserInfo, DWORD dwSize);
// Dials further digits on a call that can take them; LINEERR_INVALCALLSTATE (and nothing
// done) on any other call. Never creates a call.
LONG lineDialA(HCALL hCall, const char* lpszDestAddress, DWORD dwCountryCode);
// "comm/datamodem" on a connected call: at dwStringOffset a new 32-bit port handle (owned by
// the caller, who closes it) followed by the zero-terminated device name; dwStringFormat
// STRINGFORMAT_BINARY, dwStringSize covering both. A call that is not connected:
// LINEERR_INVALCALLSTATE.
LONG lineGetIDA(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, VARSTRING* lpDeviceID,
                const char* lpszDeviceClass);
// Fills the call's information (LINECALLINFO above); LINEERR_INVALCALLHANDLE for a call the
// process does not know, LINEERR_STRUCTURETOOSMALL when dwTotalSize is below the block's size.
LONG lineGetCallInfoA(HCALL hCall, LINECALLINFO* lpCallInfo);
// Hangs up gracefully: bytes already handed to the port still reach the peer before it sees
// the hang-up. The call then goes idle.
LONG lineDrop(HCALL hCall, const char* lpsUserUserInfo, DWORD dwSize);
LONG lineDeallocateCall(HCALL hCall);
// Show and edit the line's settings / the dialing location (see telephony_service.h).
LONG lineConfigDialogA(DWORD dwDeviceID, HWND hwndOwner, const char* lpszDeviceClass);
LONG lineTranslateDialogA(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, HWND hwndOwner,
                          const char* lpszAddressIn);

}  // namespace quodem
