// FormatMessageW for system error codes: one English text per code of winerror.h.
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <windows.h>

namespace {

struct SystemMessage {
  DWORD code;
  std::u16string_view text;
};

// Sorted by code. Each text is one sentence, ended as Windows ends them (CR LF).
constexpr SystemMessage kSystemMessages[] = {
    {ERROR_SUCCESS, u"The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, u"The function is not valid for this object."},
    {ERROR_FILE_NOT_FOUND, u"The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, u"The system cannot find the path specified."},
    {ERROR_TOO_MANY_OPEN_FILES, u"Too many files are open."},
    {ERROR_ACCESS_DENIED, u"Access is denied."},
    {ERROR_INVALID_HANDLE, u"The handle is not valid."},
    {ERROR_NOT_ENOUGH_MEMORY, u"There is not enough memory to carry out this command."},
    {ERROR_BAD_FORMAT, u"The program or module has a format the system cannot load."},
    {ERROR_INVALID_ACCESS, u"The access code is not valid."},
    {ERROR_INVALID_DATA, u"The data is not valid."},
    {ERROR_OUTOFMEMORY, u"There is not enough memory to complete this operation."},
    {ERROR_INVALID_DRIVE, u"The system cannot find the drive specified."},
    {ERROR_NOT_SAME_DEVICE, u"The system cannot move the file to a different disk drive."},
    {ERROR_NO_MORE_FILES, u"There are no more files."},
    {ERROR_WRITE_PROTECT, u"The media is write protected."},
    {ERROR_BAD_UNIT, u"The system cannot find the device specified."},
    {ERROR_NOT_READY, u"The device is not ready."},
    {ERROR_BAD_LENGTH, u"The program issued a command of an incorrect length."},
    {ERROR_GEN_FAILURE, u"A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION, u"The file is in use by another process and cannot be accessed."},
    {ERROR_HANDLE_EOF, u"The end of the file has been reached."},
    {ERROR_NOT_SUPPORTED, u"The request is not supported."},
    {ERROR_BAD_NETPATH, u"The network path was not found."},
    {ERROR_FILE_EXISTS, u"The file exists."},
    {ERROR_INVALID_PARAMETER, u"The parameter is incorrect."},
    {ERROR_BROKEN_PIPE, u"The pipe has been ended."},
    {ERROR_DISK_FULL, u"There is not enough space on the disk."},
    {ERROR_CALL_NOT_IMPLEMENTED, u"This function is not supported on this system."},
    {ERROR_SEM_TIMEOUT, u"The semaphore timeout period has expired."},
    {ERROR_INSUFFICIENT_BUFFER, u"The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, u"The file name, directory name or volume label syntax is incorrect."},
    {ERROR_INVALID_LEVEL, u"The system call level is not correct."},
    {ERROR_MOD_NOT_FOUND, u"The specified module could not be found."},
    {ERROR_PROC_NOT_FOUND, u"The specified procedure could not be found."},
    {ERROR_DIR_NOT_EMPTY, u"The directory is not empty."},
    {ERROR_NEGATIVE_SEEK, u"An attempt was made to move the file pointer before the beginning of the file."},
    {ERROR_BAD_ARGUMENTS, u"One or more arguments are not correct."},
    {ERROR_BAD_PATHNAME, u"The specified path is invalid."},
    {ERROR_BUSY, u"The requested resource is in use."},
    {ERROR_BAD_EXE_FORMAT, u"The file is not a valid module for this system."},
    {ERROR_ALREADY_EXISTS, u"Cannot create a file when that file already exists."},
    {ERROR_ENVVAR_NOT_FOUND, u"The system could not find the environment option that was entered."},
    {ERROR_FILENAME_EXCED_RANGE, u"The file name or extension is too long."},
    {ERROR_NO_DATA, u"The pipe is being closed."},
    {ERROR_PIPE_NOT_CONNECTED, u"No process is on the other end of the pipe."},
    {ERROR_MORE_DATA, u"More data is available."},
    {ERROR_NO_MORE_ITEMS, u"No more data is available."},
    {ERROR_DIRECTORY, u"The directory name is invalid."},
    {ERROR_NOT_OWNER, u"Attempt to release a mutex not owned by the caller."},
    {ERROR_PARTIAL_COPY, u"Only part of a ReadProcessMemory or WriteProcessMemory request was completed."},
    {ERROR_MR_MID_NOT_FOUND, u"The system cannot find message text for this message number."},
    {ERROR_INVALID_ADDRESS, u"Attempt to access invalid address."},
    {ERROR_ABANDONED_WAIT_0, u"The wait ended because its mutex was abandoned by the process that owned it."},
    {ERROR_ELEVATION_REQUIRED, u"The requested operation requires elevation."},
    {ERROR_OPERATION_ABORTED, u"The I/O operation has been aborted because of either a thread exit or an application "
                              u"request."},
    {ERROR_IO_PENDING, u"Overlapped I/O operation is in progress."},
    {ERROR_NOACCESS, u"Invalid access to memory location."},
    {ERROR_INVALID_FLAGS, u"The flags are not valid."},
    {ERROR_UNRECOGNIZED_VOLUME, u"The volume does not contain a recognized file system."},
    {ERROR_BADDB, u"The configuration registry database is corrupt."},
    {ERROR_BADKEY, u"The configuration registry key is not valid."},
    {ERROR_CANTOPEN, u"The configuration registry key could not be opened."},
    {ERROR_CANTREAD, u"The configuration registry key could not be read."},
    {ERROR_CANTWRITE, u"The configuration registry key could not be written."},
    {ERROR_REGISTRY_IO_FAILED, u"An I/O operation on the registry did not complete."},
    {ERROR_KEY_DELETED, u"The registry key has been marked for deletion."},
    {ERROR_DEPENDENT_SERVICES_RUNNING, u"A stop control has been sent to a service that other running services "
                                       u"depend on."},
    {ERROR_INVALID_SERVICE_CONTROL, u"The requested control is not valid for this service."},
    {ERROR_SERVICE_REQUEST_TIMEOUT, u"The service did not respond to the start or control request in a timely "
                                    u"fashion."},
    {ERROR_SERVICE_ALREADY_RUNNING, u"An instance of the service is already running."},
    {ERROR_INVALID_SERVICE_ACCOUNT, u"The account name is invalid or does not exist."},
    {ERROR_SERVICE_DISABLED, u"The service cannot be started because it is disabled."},
    {ERROR_SERVICE_DOES_NOT_EXIST, u"The specified service does not exist as an installed service."},
    {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, u"The service cannot accept control messages at this time."},
    {ERROR_SERVICE_NOT_ACTIVE, u"The service has not been started."},
    {ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, u"The service process could not connect to the service controller."},
    {ERROR_SERVICE_SPECIFIC_ERROR, u"The service has returned a service-specific error code."},
    {ERROR_PROCESS_ABORTED, u"The process terminated unexpectedly."},
    {ERROR_INVALID_SERVICE_LOCK, u"The specified service database lock is invalid."},
    {ERROR_SERVICE_MARKED_FOR_DELETE, u"The specified service has been marked for deletion."},
    {ERROR_SERVICE_EXISTS, u"The specified service already exists."},
    {ERROR_SERVICE_NEVER_STARTED, u"No attempts to start the service have been made since the last boot."},
    {ERROR_DUPLICATE_SERVICE_NAME, u"The name is already in use as either a service name or a service display "
                                   u"name."},
    {ERROR_SHUTDOWN_IN_PROGRESS, u"A system shutdown is in progress."},
    {ERROR_INVALID_MSGBOX_STYLE, u"Invalid message box style."},
    {ERROR_NOT_FOUND, u"Element not found."},
    {ERROR_CANCELLED, u"The operation was canceled by the user."},
    {ERROR_CONNECTION_REFUSED, u"The remote computer refused the network connection."},
    {ERROR_INVALID_WINDOW_HANDLE, u"Invalid window handle."},
    {ERROR_NO_SYSTEM_RESOURCES, u"Insufficient system resources exist to complete the requested service."},
    {ERROR_TIMEOUT, u"This operation returned because the timeout period expired."},
    {ERROR_INVALID_USER_BUFFER, u"The supplied user buffer is not valid for the requested operation."},
    {ERROR_RESOURCE_DATA_NOT_FOUND, u"The specified image file did not contain a resource section."},
    {ERROR_RESOURCE_TYPE_NOT_FOUND, u"The specified resource type cannot be found in the image file."},
    {ERROR_RESOURCE_NAME_NOT_FOUND, u"The specified resource name cannot be found in the image file."},
    {ERROR_RESOURCE_LANG_NOT_FOUND, u"The specified resource language ID cannot be found in the image file."},
    {ERROR_CANT_RESOLVE_FILENAME, u"The name of the file cannot be resolved by the system."},
};

const SystemMessage* FindSystemMessage(DWORD code) {
  for (const SystemMessage& message : kSystemMessages) {
    if (message.code == code) return &message;
  }
  return nullptr;
}

// The system texts are English: the neutral and English language ids are served.
bool IsServedLanguage(DWORD languageId) {
  WORD primary = languageId & 0x3FF;
  return languageId == 0 || primary == 0x09 || languageId == 0x400 || languageId == 0x800;
}

DWORD Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

}  // namespace

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  void* memory = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
  if (!memory) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return memory;
}

HLOCAL LocalFree(HLOCAL memory) {
  std::free(memory);
  return nullptr;
}

DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer, DWORD size,
                     va_list* arguments) {
  (void)source, (void)arguments;  // system texts carry no inserts to fill
  if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || (flags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE)))
    return Fail(ERROR_INVALID_PARAMETER);
  if (!buffer) return Fail(ERROR_INVALID_PARAMETER);
  if (!IsServedLanguage(languageId)) return Fail(ERROR_RESOURCE_LANG_NOT_FOUND);
  const SystemMessage* message = FindSystemMessage(messageId);
  if (!message) return Fail(ERROR_MR_MID_NOT_FOUND);

  // Without a width limit the text ends with a line break, as Windows' texts do.
  std::u16string_view ending = (flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == 0 ? u"\r\n" : u"";
  DWORD length = static_cast<DWORD>(message->text.size() + ending.size());
  WCHAR* out;
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    // `buffer` receives a LocalAlloc'd text of at least `size` characters.
    DWORD units = (length + 1 > size ? length + 1 : size);
    out = static_cast<WCHAR*>(LocalAlloc(LMEM_FIXED, units * sizeof(WCHAR)));
    if (!out) return 0;
    *reinterpret_cast<LPWSTR*>(buffer) = out;
  } else {
    if (size < length + 1) return Fail(ERROR_INSUFFICIENT_BUFFER);
    out = buffer;
  }
  std::memcpy(out, message->text.data(), message->text.size() * sizeof(WCHAR));
  std::memcpy(out + message->text.size(), ending.data(), ending.size() * sizeof(WCHAR));
  out[length] = 0;
  return length;
}
