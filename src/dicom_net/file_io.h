// The few file operations the instance store and its journal share: an owned descriptor, whole
// writes of gathered pieces, and syncing a folder's entries.
#pragma once

#include <sys/uio.h>

#include <span>
#include <string>
#include <utility>

namespace zanthe::dicom_net {

// Closes a descriptor when it goes out of scope.
struct FileDescriptor {
  int fd = -1;
  explicit FileDescriptor(int f) noexcept : fd(f) {}
  ~FileDescriptor();
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int release() noexcept { return std::exchange(fd, -1); }
};

// Writes every piece, in order, from `offset` on, going on after short writes; 0 or errno. The
// pieces are consumed: their bases and lengths are advanced as they are written.
[[nodiscard]] int write_pieces_at(int fd, std::span<iovec> pieces, off_t offset);

// fsync of a folder, which makes the names made or renamed in it durable; 0 or errno.
[[nodiscard]] int sync_folder(const std::string& folder);

}  // namespace zanthe::dicom_net
