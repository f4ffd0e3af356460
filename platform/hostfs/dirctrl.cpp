// IRP_MJ_DIRECTORY_CONTROL: listings of a directory in the six directory information
// classes, with patterns, restart, single entries and resume across queries.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <unistd.h>

#include "dir_records.h"
#include "host_io.h"
#include "hostfs_internal.h"
#include "names.h"
#include "nb/text.h"

namespace nb::hostfs {

namespace {

// Reads the directory's names now: ".", "..", then the children in name order (the host
// keeps no order of its own, callers and tests want a stable one).
NTSTATUS TakeSnapshot(HostFile* file, std::vector<ListedName>* names) {
  DIR* dir = nullptr;
  if (NTSTATUS status = OpenListing(file->fd, &dir); !NT_SUCCESS(status)) return status;
  NTSTATUS status = STATUS_SUCCESS;
  try {
    names->clear();
    names->push_back({u".", {}});
    names->push_back({u"..", {}});
    errno = 0;
    while (struct dirent* entry = readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      // A host name that no NT name can open again (a backslash, a colon, bytes that are
      // not UTF-8 ...) is left out rather than shown as something it is not.
      std::u16string name = nb::text::Utf8ToUtf16(entry->d_name);
      if (!NT_SUCCESS(CheckComponent(name)) || nb::text::Utf16ToUtf8(name) != entry->d_name) continue;
      names->push_back({std::move(name), entry->d_name});
    }
    if (errno != 0) status = StatusFromErrno(errno);
    std::sort(names->begin() + 2, names->end(),
              [](const ListedName& a, const ListedName& b) { return a.name < b.name; });
  } catch (const std::bad_alloc&) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  }
  closedir(dir);
  return status;
}

NTSTATUS FactsBeneath(HostFile* file, const std::string& relative, FileFacts* facts) {
  int fd = OpenBeneath(file->volume->rootFd, relative, O_PATH);
  if (fd < 0) return StatusFromErrno(-fd);
  NTSTATUS status = FactsOf(fd, facts);
  close(fd);
  return status;
}

// What a listed name stands for now; false when it has gone since the snapshot.
bool FactsOfListed(HostFile* file, const ListedName& listed, FileFacts* facts) {
  if (listed.name == u".") return NT_SUCCESS(FactsOf(file->fd, facts));
  ParsedPath directory;
  if (!NT_SUCCESS(ParsePath(PathOf(file), &directory))) return false;
  const auto& components = directory.components;
  if (listed.name == u"..") {
    // The root is its own parent.
    if (components.empty()) return NT_SUCCESS(FactsOf(file->fd, facts));
    return NT_SUCCESS(FactsBeneath(file, HostPath(components, components.size() - 1), facts));
  }
  // A symbolic link shows as itself (a reparse point): what it leads to may lie in a
  // folder the caller must not see into, and only a lookup of that name may tell.
  return NT_SUCCESS(FactsAt(file->fd, listed.hostName.c_str(), facts));
}

NTSTATUS QueryDirectory(HostFile* file, PIO_STACK_LOCATION stack, void* buffer, ULONG* information) {
  const auto informationClass = stack->Parameters.QueryDirectory.FileInformationClass;
  if (!DirectoryRecordWriter::Supports(informationClass)) return STATUS_INVALID_INFO_CLASS;
  const ULONG length = stack->Parameters.QueryDirectory.Length;
  if (!buffer && length) return STATUS_INVALID_PARAMETER;
  std::u16string_view pattern;
  if (PUNICODE_STRING fileName = stack->Parameters.QueryDirectory.FileName; fileName && fileName->Length) {
    pattern = std::u16string_view(fileName->Buffer, fileName->Length / sizeof(WCHAR));
    if (pattern.find(u'\\') != std::u16string_view::npos || pattern.find(u'\0') != std::u16string_view::npos)
      return STATUS_OBJECT_NAME_INVALID;
  }

  std::lock_guard lock(file->mutex);
  DirectoryScan& scan = file->scan;
  if (!scan.started || (stack->Flags & SL_RESTART_SCAN)) {
    NTSTATUS status = TakeSnapshot(file, &scan.names);
    if (!NT_SUCCESS(status)) return status;
    // The first query sets the pattern; a restart may set a new one.
    if (!pattern.empty()) {
      scan.pattern = pattern;
    } else if (!scan.started) {
      scan.pattern = u"*";
    }
    scan.started = true;
    scan.firstQueryDone = false;
    scan.next = 0;
  }
  if (stack->Flags & SL_INDEX_SPECIFIED)
    scan.next = std::min<size_t>(static_cast<size_t>(stack->Parameters.QueryDirectory.FileIndex) + 1,
                                 scan.names.size());

  DirectoryRecordWriter writer(informationClass, buffer, length);
  auto outcome = DirectoryRecordWriter::Outcome::kWritten;
  while (scan.next < scan.names.size()) {
    const ListedName& listed = scan.names[scan.next];
    FileFacts facts;
    if (!MatchesPattern(scan.pattern, listed.name) || !FactsOfListed(file, listed, &facts)) {
      ++scan.next;
      continue;
    }
    outcome = writer.Append(static_cast<ULONG>(scan.next), facts, listed.name);
    if (outcome != DirectoryRecordWriter::Outcome::kWritten) break;
    ++scan.next;
    if (stack->Flags & SL_RETURN_SINGLE_ENTRY) break;
  }
  // A record that did not fit stays next in line for a query with a larger buffer.
  if (writer.Count() == 0 && outcome == DirectoryRecordWriter::Outcome::kTruncated) {
    *information = writer.Used();
    return STATUS_BUFFER_OVERFLOW;
  }
  if (writer.Count() == 0 && outcome == DirectoryRecordWriter::Outcome::kTooSmall) return STATUS_INFO_LENGTH_MISMATCH;
  const bool first = !scan.firstQueryDone;
  scan.firstQueryDone = true;
  if (writer.Count() == 0) return first ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES;
  *information = writer.Used();
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS HostDirectoryControl(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MinorFunction != IRP_MN_QUERY_DIRECTORY) return CompleteRequest(irp, STATUS_NOT_SUPPORTED);
  HostFile* file = FindFile(VolumeOf(device), stack->FileObject);
  if (!file || file->volumeOpen || !file->directory) return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
  ULONG information = 0;
  NTSTATUS status = QueryDirectory(file, stack, irp->UserBuffer, &information);
  return CompleteRequest(irp, status, information);
}

}  // namespace nb::hostfs
