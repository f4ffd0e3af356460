// nbhost's log: one line per event, with time and pid, to standard error (which a host in
// the background points at root/log/nbhost.log).
#pragma once

namespace nb::host {

[[gnu::format(printf, 1, 2)]] void HostLog(const char* format, ...);

}  // namespace nb::host
