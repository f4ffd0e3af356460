// One open of a driver's control device for the length of a call, and the messages a
// call prints when the device cannot be opened or a request fails.
#pragma once

#include <windows.h>

namespace nbclient {

// How a call names its failures: "<name>: <open failure>" and "<name>: <request failure>".
struct CallTexts {
  const char16_t* name;
  const char16_t* openFailure;
  const char16_t* requestFailure = u"ioctl failed";
};

inline constexpr const char16_t* kCannotOpneNbDevice = u"cannot opne NB_DEVICE";
inline constexpr const char16_t* kCannotOpneRootDevice = u"cannot opne ROOT DEVICE";
inline constexpr const char16_t* kCannotOpenNbDevice = u"cannot open NB_DEVICE";
inline constexpr const char16_t* kCannotOpenNbdvDevice = u"cannot open NBDV DEVICE";

class ControlDevice {
 public:
  // Opens the device with GENERIC_READ, FILE_SHARE_READ and OPEN_EXISTING.
  explicit ControlDevice(const char16_t* path);
  ~ControlDevice();
  ControlDevice(const ControlDevice&) = delete;
  ControlDevice& operator=(const ControlDevice&) = delete;

  bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  // One METHOD_BUFFERED request; true when the driver completed it successfully.
  bool Control(ULONG code, void* input, ULONG inputLength, void* output, ULONG outputLength);

 private:
  HANDLE handle_;
};

// Opens the nbfs control device; on failure prints "cannot open \\.\nbfscntl36" and the
// call's own open failure. Returns whether the device is open.
bool OpenNbfs(ControlDevice& device, const CallTexts& texts);
// Opens the nbfs device, sends one request and closes it: 0, -3001 or -3002, with the
// call's messages.
int NbfsRequest(const CallTexts& texts, ULONG code, void* input, ULONG inputLength, void* output = nullptr,
                ULONG outputLength = 0);
// The same for the nbdv device: 0, -3101 or -3102.
int NbdvRequest(const CallTexts& texts, ULONG code, void* input, ULONG inputLength, void* output = nullptr,
                ULONG outputLength = 0);

void PrintRequestFailure(const CallTexts& texts);

}  // namespace nbclient
