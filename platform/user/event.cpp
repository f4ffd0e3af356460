// CreateEventW, OpenEventW, SetEvent, ResetEvent, CreateMutexW, OpenMutexW, ReleaseMutex
// and the waits. Their handles are numbered by this library like every handle, and the
// kernel files the object under the same value.
#include <string>
#include <string_view>
#include <vector>

#include <windows.h>

#include "nb/text.h"
#include "nb/win/errors.h"
#include "objects.h"

namespace {

using nb::win::ProcessHandles;
using nb::win::Transport;
using nb::win::TransportHandle;
using nb::win::TransportObject;

constexpr size_t kMaxNameUnits = 260;  // MAX_PATH, as Win32 limits object names
constexpr std::u16string_view kNamedObjects = u"\\BaseNamedObjects\\";

HANDLE FailNull(DWORD error) {
  SetLastError(error);
  return nullptr;
}

BOOL FailBool(DWORD error) {
  SetLastError(error);
  return FALSE;
}

DWORD FailWait(DWORD error) {
  SetLastError(error);
  return WAIT_FAILED;
}

bool StartsWithIgnoringCase(std::u16string_view text, std::u16string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char16_t c = text[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    char16_t p = prefix[i];
    if (p >= u'A' && p <= u'Z') p = static_cast<char16_t>(p - u'A' + u'a');
    if (c != p) return false;
  }
  return true;
}

// The object name of an event's or a mutex's name: "Global\NAME", "Local\NAME" and "NAME" all name
// "\BaseNamedObjects\NAME" (one session, one namespace); empty for an unnamed event.
bool EventObjectName(LPCWSTR name, std::u16string* objectName, DWORD* error) {
  objectName->clear();
  if (!name) return true;
  size_t units = nb::text::Utf16Length(name, kMaxNameUnits + 1);
  if (units > kMaxNameUnits) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  std::u16string_view leaf(name, units);
  if (leaf.empty()) return true;
  for (std::u16string_view prefix : {u"Global\\", u"Local\\"}) {
    if (StartsWithIgnoringCase(leaf, prefix)) {
      leaf.remove_prefix(prefix.size());
      break;
    }
  }
  if (leaf.empty()) {
    *error = ERROR_INVALID_NAME;
    return false;
  }
  if (leaf.find(u'\\') != std::u16string_view::npos) {
    *error = ERROR_PATH_NOT_FOUND;  // no other object directories
    return false;
  }
  *objectName = std::u16string(kNamedObjects) + std::u16string(leaf);
  return true;
}

// A handle value is reserved first, so that the kernel can file the event under it.
class ReservedHandle final : public nb::win::HandleObject {};

template <typename Make>
HANDLE PublishEvent(Make make) {
  Transport* transport = nb::win::CurrentTransport();
  if (!transport) return FailNull(ERROR_NOT_READY);
  HANDLE handle = ProcessHandles().Insert(std::make_shared<ReservedHandle>());
  if (!handle) return FailNull(ERROR_TOO_MANY_OPEN_FILES);
  TransportObject object;
  NTSTATUS status = make(transport, handle, &object);
  if (!NT_SUCCESS(status)) {
    ProcessHandles().Remove(handle);
    return FailNull(nb::win::Win32ErrorFromNtStatus(status));
  }
  // Closed again at once (by the handle object) should the value have been closed meanwhile.
  if (!ProcessHandles().Replace(handle, std::make_shared<TransportHandle>(transport, object))) {
    return FailNull(ERROR_INVALID_HANDLE);
  }
  SetLastError(status == STATUS_OBJECT_NAME_EXISTS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

std::shared_ptr<TransportHandle> EventHandle(HANDLE handle) {
  return ProcessHandles().GetAs<TransportHandle>(handle);
}

// Milliseconds as an NT relative time-out; null for INFINITE.
const LARGE_INTEGER* Timeout(DWORD milliseconds, LARGE_INTEGER* storage) {
  if (milliseconds == INFINITE) return nullptr;
  storage->QuadPart = -static_cast<LONGLONG>(milliseconds) * 10'000;
  return storage;
}

DWORD WaitResult(NTSTATUS status) {
  if (status == STATUS_TIMEOUT) return static_cast<DWORD>(WAIT_TIMEOUT);
  if (status >= STATUS_WAIT_0 && status < STATUS_WAIT_0 + MAXIMUM_WAIT_OBJECTS) {
    return WAIT_OBJECT_0 + static_cast<DWORD>(status - STATUS_WAIT_0);
  }
  if (status >= STATUS_ABANDONED_WAIT_0 && status < STATUS_ABANDONED_WAIT_0 + MAXIMUM_WAIT_OBJECTS) {
    return WAIT_ABANDONED_0 + static_cast<DWORD>(status - STATUS_ABANDONED_WAIT_0);
  }
  return FailWait(NT_SUCCESS(status) ? ERROR_GEN_FAILURE : nb::win::Win32ErrorFromNtStatus(status));
}

}  // namespace

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  std::u16string objectName;
  DWORD error = 0;
  if (!EventObjectName(name, &objectName, &error)) return FailNull(error);
  return PublishEvent([&](Transport* transport, HANDLE handle, TransportObject* object) {
    return transport->CreateEventObject(handle, objectName, manualReset != FALSE, initialState != FALSE, object);
  });
}

HANDLE OpenEventW(DWORD desiredAccess, BOOL, LPCWSTR name) {
  std::u16string objectName;
  DWORD error = 0;
  if (!EventObjectName(name, &objectName, &error)) return FailNull(error);
  if (objectName.empty()) return FailNull(ERROR_INVALID_PARAMETER);
  return PublishEvent([&](Transport* transport, HANDLE handle, TransportObject* object) {
    return transport->OpenEventObject(handle, objectName, desiredAccess, object);
  });
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCWSTR name) {
  std::u16string objectName;
  DWORD error = 0;
  if (!EventObjectName(name, &objectName, &error)) return FailNull(error);
  return PublishEvent([&](Transport* transport, HANDLE handle, TransportObject* object) {
    return transport->CreateMutantObject(handle, objectName, initialOwner != FALSE, object);
  });
}

HANDLE OpenMutexW(DWORD desiredAccess, BOOL, LPCWSTR name) {
  std::u16string objectName;
  DWORD error = 0;
  if (!EventObjectName(name, &objectName, &error)) return FailNull(error);
  if (objectName.empty()) return FailNull(ERROR_INVALID_PARAMETER);
  return PublishEvent([&](Transport* transport, HANDLE handle, TransportObject* object) {
    return transport->OpenMutantObject(handle, objectName, desiredAccess, object);
  });
}

BOOL ReleaseMutex(HANDLE mutex) {
  auto handle = EventHandle(mutex);
  if (!handle) return FailBool(ERROR_INVALID_HANDLE);
  NTSTATUS status = handle->transport()->ReleaseMutantObject(handle->object());
  return NT_SUCCESS(status) ? TRUE : FailBool(nb::win::Win32ErrorFromNtStatus(status));
}

BOOL SetEvent(HANDLE event) {
  auto handle = EventHandle(event);
  if (!handle) return FailBool(ERROR_INVALID_HANDLE);
  NTSTATUS status = handle->transport()->SetEventObject(handle->object(), true);
  return NT_SUCCESS(status) ? TRUE : FailBool(nb::win::Win32ErrorFromNtStatus(status));
}

BOOL ResetEvent(HANDLE event) {
  auto handle = EventHandle(event);
  if (!handle) return FailBool(ERROR_INVALID_HANDLE);
  NTSTATUS status = handle->transport()->SetEventObject(handle->object(), false);
  return NT_SUCCESS(status) ? TRUE : FailBool(nb::win::Win32ErrorFromNtStatus(status));
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  if (!handles || count == 0 || count > MAXIMUM_WAIT_OBJECTS) return FailWait(ERROR_INVALID_PARAMETER);
  // The handle objects are held for the wait: a CloseHandle meanwhile takes effect after it.
  std::vector<std::shared_ptr<TransportHandle>> held;
  std::vector<TransportObject> objects;
  for (DWORD i = 0; i < count; ++i) {
    auto handle = EventHandle(handles[i]);
    if (!handle || (i > 0 && handle->transport() != held[0]->transport())) return FailWait(ERROR_INVALID_HANDLE);
    objects.push_back(handle->object());
    held.push_back(std::move(handle));
  }
  LARGE_INTEGER storage;
  return WaitResult(held[0]->transport()->WaitForObjects(objects.data(), count, waitAll != FALSE,
                                                        Timeout(milliseconds, &storage)));
}
