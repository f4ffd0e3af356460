// Links: link (a second name for a file), symlink and readlink. A hard link is a set-
// information request the filters judge like a rename; a symbolic link is an empty file
// made as the caller and turned into a link by a reparse-point request.
#include <cerrno>
#include <cstring>
#include <vector>

#include "mount_state.h"
#include "nb/kernel/file_requests.h"
#include "nb/kernel/reparse_records.h"

namespace nb::fuse {

namespace {

// Asks the file system to drop a name made by a step that could not be finished.
void DiscardMade(PFILE_OBJECT file) {
  FILE_DISPOSITION_INFORMATION disposition{TRUE};
  (void)kernel::SetInformation(file, FileDispositionInformation, &disposition, sizeof disposition);
}

}  // namespace

void Link(fuse_req_t req, fuse_ino_t node, fuse_ino_t newParent, const char* newName) {
  NB_AS_CALLER(req);
  const uint64_t generation = GenerationNow(state);
  std::u16string from, to;
  if (!NodePath(req, node, &from) || !ChildOf(req, newParent, newName, &to)) return;
  OpenedFile file;
  NTSTATUS status = OpenPath(state, from, FILE_READ_ATTRIBUTES, FILE_OPEN, kOpenAsNamed | FILE_NON_DIRECTORY_FILE,
                             file.Out());
  if (NT_SUCCESS(status)) {
    std::vector<unsigned char> buffer(offsetof(FILE_LINK_INFORMATION, FileName) + to.size() * sizeof(WCHAR));
    auto* link = reinterpret_cast<FILE_LINK_INFORMATION*>(buffer.data());
    link->ReplaceIfExists = FALSE;  // link(2) never replaces a name
    link->RootDirectory = nullptr;
    link->FileNameLength = static_cast<ULONG>(to.size() * sizeof(WCHAR));
    std::memcpy(link->FileName, to.data(), link->FileNameLength);
    status = kernel::SetInformation(file.get(), FileLinkInformation, buffer.data(), static_cast<ULONG>(buffer.size()));
  }
  if (!NT_SUCCESS(status)) {
    file.Close();
    return ReplyStatus(req, status);
  }
  ReplyEntry(req, to, file, generation);
}

void SymbolicLink(fuse_req_t req, const char* text, fuse_ino_t parent, const char* name) {
  NB_AS_CALLER(req);
  const uint64_t generation = GenerationNow(state);
  std::u16string path;
  if (!ChildOf(req, parent, name, &path)) return;
  const size_t length = std::strlen(text);
  if (length == 0) return (void)fuse_reply_err(req, ENOENT);
  if (length > kernel::kMaximumLinkText) return (void)fuse_reply_err(req, ENAMETOOLONG);
  OpenedFile file;
  NTSTATUS status = OpenPath(state, path, FILE_WRITE_DATA | FILE_READ_ATTRIBUTES | DELETE, FILE_CREATE,
                             kOpenAsNamed | FILE_NON_DIRECTORY_FILE, file.Out());
  if (!NT_SUCCESS(status)) return ReplyStatus(req, status);
  const std::vector<UCHAR> record = kernel::EncodeLinkRecord(text);
  status = kernel::FileSystemControl(file.get(), FSCTL_SET_REPARSE_POINT, record.data(),
                                     static_cast<ULONG>(record.size()), nullptr, 0);
  if (!NT_SUCCESS(status)) {
    DiscardMade(file.get());
    file.Close();
    return ReplyStatus(req, status);
  }
  ReplyEntry(req, path, file, generation);
}

void ReadLink(fuse_req_t req, fuse_ino_t node) {
  NB_AS_CALLER(req);
  std::u16string path;
  if (!NodePath(req, node, &path)) return;
  OpenedFile file;
  NTSTATUS status = OpenPath(state, path, FILE_READ_ATTRIBUTES, FILE_OPEN, kOpenAsNamed, file.Out());
  std::vector<UCHAR> record(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
  ULONG returned = 0;
  if (NT_SUCCESS(status)) {
    status = kernel::FileSystemControl(file.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, record.data(),
                                       static_cast<ULONG>(record.size()), &returned);
  }
  std::string text;
  if (NT_SUCCESS(status)) status = kernel::DecodeLinkRecord(record.data(), returned, &text);
  file.Close();
  if (!NT_SUCCESS(status)) return ReplyStatus(req, status);
  fuse_reply_readlink(req, text.c_str());
}

}  // namespace nb::fuse
