// The two carriers of the test suites.
#include "nb/testing/carrier.h"

#include "nb/kernel/process.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

namespace nb::testing {

CarriedTransport::CarriedTransport(kernel::Kernel& kernel, Carrier carrier) : kernel_(kernel), carrier_(carrier) {
  if (carrier == Carrier::kInProcess) {
    inProcess_ = std::make_unique<win::InProcessTransport>();
    active_ = inProcess_.get();
    win::SetTransport(active_);
    ready_ = true;
    return;
  }
  char pattern[] = "/tmp/nb-carrier-XXXXXX";
  if (!mkdtemp(pattern)) return;
  folder_ = pattern;
  std::string socket = folder_ + "/nbhost.sock";
  server_ = std::make_unique<server::SocketServer>(kernel);
  if (!NT_SUCCESS(server_->Start(socket))) return;
  channel_ = std::make_unique<win::SocketChannel>(socket);
  transport_ = std::make_unique<win::RequestTransport>(*channel_);
  active_ = transport_.get();
  win::SetTransport(active_);
  ready_ = true;
}

CarriedTransport::~CarriedTransport() {
  win::SetTransport(nullptr);
  transport_.reset();
  channel_.reset();
  if (server_) server_->Stop();
  server_.reset();
  inProcess_.reset();
  if (!folder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
}

size_t CarriedTransport::ObjectsHeldBy(ULONG processId) const {
  return server_ ? server_->ObjectsHeldBy(processId) : inProcess_ ? inProcess_->ObjectsHeldBy(processId) : 0;
}

}  // namespace nb::testing

namespace nb::testing {

PEPROCESS CarriedTransport::CallerProcess() const {
  if (!OverSocket()) return kernel::CurrentProcess();
  return kernel_.Processes().Find(static_cast<ULONG>(getpid()));
}

ULONG CarriedTransport::CallerId() const {
  return OverSocket() ? static_cast<ULONG>(getpid()) : kernel::ProcessTable::IdOf(kernel::CurrentProcess());
}

}  // namespace nb::testing
