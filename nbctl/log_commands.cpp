// log: the day's service log file (C:\Windows\TEMP\NB\<date>) and the filter driver's
// in-memory message log, read through its control device (start, read, stop).
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "LogFile.h"
#include "commands.h"
#include "nb/text.h"
#include "nb/win/host_path.h"
#include "nbfsctl.h"
#include "system.h"

namespace nb::nbctl {

namespace {

constexpr auto kFollowPeriod = std::chrono::milliseconds(300);

// One control request on the driver's device; false when the device cannot be opened or
// the driver refuses.
bool LogRequest(ULONG code, const void* input, DWORD inputSize, void* output, DWORD outputSize) {
  HANDLE device = CreateFileW(NBFS_USER_DEVICE_NAME, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (device == INVALID_HANDLE_VALUE) return false;
  DWORD returned = 0;
  BOOL done = DeviceIoControl(device, code, const_cast<void*>(input), inputSize, output, outputSize, &returned, nullptr);
  CloseHandle(device);
  return done != 0;
}

bool DriverLogRunning() {
  ULONG counts[2] = {0, 0};
  return LogRequest(LOG_COUNTS, nullptr, 0, counts, sizeof counts) && counts[0] > 0;
}

bool StartDriverLog(ULONG records) { return LogRequest(LOG_START, &records, sizeof records, nullptr, 0); }
bool StopDriverLog() { return LogRequest(LOG_STOP, nullptr, 0, nullptr, 0); }

// The oldest message of the driver's log, taken out of it; nullopt when there is none.
std::optional<std::string> ReadDriverLog() {
  NBFS_LOG_RECORD record{};
  if (!LogRequest(LOG_READ, nullptr, 0, &record, sizeof record)) return std::nullopt;
  size_t length = 0;
  while (length < sizeof record.text && record.text[length]) ++length;
  std::string line(record.text, length);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

// The day's service log: its drive path and where it was read up to.
struct ServiceLog {
  std::u16string path;
  std::streamoff offset = 0;
};

std::u16string TodaysLogPath() { return LogFile(u"NBSvc", u"NB", LOG_PERIOD_DAY).Path(); }

// Prints what the file holds past `log.offset` (from its start after the day changed).
void PrintNewLines(Context& context, ServiceLog& log) {
  std::u16string today = TodaysLogPath();
  if (today != log.path) {
    log.path = today;
    log.offset = 0;
  }
  std::optional<std::string> host = nb::win::HostPathOf(nb::text::Utf16ToUtf8(log.path));
  if (!host) return;
  std::ifstream file(*host, std::ios::binary);
  if (!file) return;
  file.seekg(0, std::ios::end);
  std::streamoff size = file.tellg();
  if (size < log.offset) log.offset = 0;  // the file was replaced
  file.seekg(log.offset);
  std::string text;
  std::string line;
  std::streamoff consumed = log.offset;
  while (std::getline(file, line)) {
    if (file.eof()) break;  // a line still being written: taken at the next look
    consumed += static_cast<std::streamoff>(line.size()) + 1;
    text += "service: " + line + "\n";
  }
  log.offset = consumed;
  context.Print(text);
}

void PrintDriverMessages(Context& context) {
  while (std::optional<std::string> line = ReadDriverLog()) context.Print("driver: " + *line + "\n");
}

}  // namespace

int RunLog(Context& context) {
  const Options& options = context.options;
  if (options.action == "start") {
    if (DriverLogRunning()) return context.Fail(kExitRefused, "the driver's message log is already running");
    if (!StartDriverLog(static_cast<ULONG>(options.logRecords))) {
      return context.Fail(kExitSystem, "the driver's message log cannot be started");
    }
    return kExitOk;
  }
  if (options.action == "stop") {
    if (!StopDriverLog()) return context.Fail(kExitSystem, "the driver's message log cannot be stopped");
    return kExitOk;
  }

  ServiceLog log;
  PrintNewLines(context, log);
  // The driver keeps messages only while its log runs: --follow starts it for as long as
  // it follows, unless someone else keeps it running.
  bool started = false;
  bool running = DriverLogRunning();
  if (options.follow && !running) started = StartDriverLog(kLogRecordsDefault);
  if (!options.follow && !running) {
    std::fprintf(stderr, "nbctl: the driver keeps no messages now (nbctl log start, or log --follow)\n");
  }
  PrintDriverMessages(context);
  std::fflush(context.out);
  while (options.follow && !Interrupted() && !std::ferror(context.out)) {
    std::this_thread::sleep_for(kFollowPeriod);
    PrintNewLines(context, log);
    PrintDriverMessages(context);
    std::fflush(context.out);
  }
  if (started) StopDriverLog();
  return kExitOk;
}

}  // namespace nb::nbctl
