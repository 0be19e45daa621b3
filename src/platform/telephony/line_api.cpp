// The line functions of quodem/platform/telephony.h, as the service implements them.
#include "platform/telephony/dialogs.h"
#include "platform/telephony/service.h"
#include "quodem/platform/telephony.h"

namespace quodem {

using telephony::Service;

LONG lineInitialize(HLINEAPP* lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback,
                    const char* lpszAppName, DWORD* lpdwNumDevs) {
  (void)hInstance;
  (void)lpszAppName;
  return Service::Instance().Initialize(lphLineApp, lpfnCallback, lpdwNumDevs);
}

LONG lineShutdown(HLINEAPP hLineApp) {
  return Service::Instance().Shutdown(hLineApp);
}

LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion,
                             DWORD dwAPIHighVersion, DWORD* lpdwAPIVersion,
                             LINEEXTENSIONID* lpExtensionID) {
  return Service::Instance().NegotiateApiVersion(hLineApp, dwDeviceID, dwAPILowVersion,
                                                 dwAPIHighVersion, lpdwAPIVersion, lpExtensionID);
}

LONG lineGetDevCapsA(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                     LINEDEVCAPS* lpLineDevCaps) {
  return Service::Instance().GetDevCaps(hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion,
                                        lpLineDevCaps);
}

LONG lineOpenA(HLINEAPP hLineApp, DWORD dwDeviceID, HLINE* lphLine, DWORD dwAPIVersion,
               DWORD dwExtVersion, DWORD_PTR dwCallbackInstance, DWORD dwPrivileges,
               DWORD dwMediaModes, const LINECALLPARAMS* lpCallParams) {
  return Service::Instance().Open(hLineApp, dwDeviceID, lphLine, dwAPIVersion, dwExtVersion,
                                  dwCallbackInstance, dwPrivileges, dwMediaModes, lpCallParams);
}

LONG lineClose(HLINE hLine) {
  return Service::Instance().Close(hLine);
}

LONG lineTranslateAddressA(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion,
                           const char* lpszAddressIn, DWORD dwCard, DWORD dwTranslateOptions,
                           LINETRANSLATEOUTPUT* lpTranslateOutput) {
  (void)dwTranslateOptions;  // no calling cards, no forced long distance
  return Service::Instance().TranslateAddress(hLineApp, dwDeviceID, dwAPIVersion, lpszAddressIn,
                                              dwCard, lpTranslateOutput);
}

LONG lineMakeCallA(HLINE hLine, HCALL* lphCall, const char* lpszDestAddress, DWORD dwCountryCode,
                   const LINECALLPARAMS* lpCallParams) {
  (void)dwCountryCode;  // the destination is already in dialable form
  return Service::Instance().MakeCall(hLine, lphCall, lpszDestAddress, lpCallParams);
}

LONG lineAnswer(HCALL hCall, const char* lpsUserUserInfo, DWORD dwSize) {
  (void)lpsUserUserInfo;  // no provider carries user-user information
  (void)dwSize;
  return Service::Instance().Answer(hCall);
}

LONG lineDialA(HCALL hCall, const char* lpszDestAddress, DWORD dwCountryCode) {
  (void)dwCountryCode;
  return Service::Instance().Dial(hCall, lpszDestAddress);
}

LONG lineGetIDA(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, VARSTRING* lpDeviceID,
                const char* lpszDeviceClass) {
  (void)dwAddressID;  // every line has the one address 0
  return Service::Instance().GetId(hLine, hCall, dwSelect, lpDeviceID, lpszDeviceClass);
}

LONG lineGetCallInfoA(HCALL hCall, LINECALLINFO* lpCallInfo) {
  return Service::Instance().GetCallInfo(hCall, lpCallInfo);
}

LONG lineDrop(HCALL hCall, const char* lpsUserUserInfo, DWORD dwSize) {
  (void)lpsUserUserInfo;
  (void)dwSize;
  return Service::Instance().Drop(hCall);
}

LONG lineDeallocateCall(HCALL hCall) {
  return Service::Instance().DeallocateCall(hCall);
}

LONG lineConfigDialogA(DWORD dwDeviceID, HWND hwndOwner, const char* lpszDeviceClass) {
  (void)hwndOwner;
  return telephony::LineConfigDialog(dwDeviceID, lpszDeviceClass);
}

LONG lineTranslateDialogA(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, HWND hwndOwner,
                          const char* lpszAddressIn) {
  (void)hwndOwner;
  if (LONG result = Service::Instance().CheckSessionDevice(hLineApp, dwDeviceID, dwAPIVersion)) {
    return result;
  }
  return telephony::DialingLocationDialog(dwDeviceID, lpszAddressIn ? lpszAddressIn : "");
}

}  // namespace quodem
