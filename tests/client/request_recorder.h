// A test driver that records the device-control requests sent to a control device:
// either attached above a real driver's device (passing requests on unless told to
// answer them), or standing in for a driver that is not loaded.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <ntifs.h>

#include "nb/testing/machine.h"

namespace client_test {

struct RecordedRequest {
  ULONG code;
  std::vector<uint8_t> input;
  ULONG outputLength;
};

class RequestRecorder {
 public:
  RequestRecorder();
  ~RequestRecorder();
  RequestRecorder(const RequestRecorder&) = delete;
  RequestRecorder& operator=(const RequestRecorder&) = delete;

  // Attaches above the device named `deviceName` (one recorder per machine).
  NTSTATUS AttachAbove(nb::testing::Machine& machine, const std::u16string& deviceName);
  // Creates the device `deviceName` with the link `linkName` itself; requests it is not
  // told to answer fail with STATUS_INVALID_DEVICE_REQUEST.
  NTSTATUS Serve(nb::testing::Machine& machine, const std::u16string& deviceName, const std::u16string& linkName);

  // Completes every later request with `code` itself, with this status and output.
  void Answer(ULONG code, NTSTATUS status, std::vector<uint8_t> output = {});
  void AnswerUlong(ULONG code, ULONG value);

  std::vector<RecordedRequest> Requests() const;
  std::vector<ULONG> Codes() const;
  bool Saw(ULONG code) const;
  void Clear();

 private:
  struct Reply {
    NTSTATUS status;
    std::vector<uint8_t> output;
  };
  static NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING);
  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
  NTSTATUS Load(nb::testing::Machine& machine);

  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  PDEVICE_OBJECT lower_ = nullptr;
  mutable std::mutex mutex_;  // requests may arrive from several threads
  std::map<ULONG, Reply> replies_;
  std::vector<RecordedRequest> requests_;
};

}  // namespace client_test
