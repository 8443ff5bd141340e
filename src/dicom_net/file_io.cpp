#include "dicom_net/file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <algorithm>
#include <cstddef>

namespace zanthe::dicom_net {

FileDescriptor::~FileDescriptor() {
  if (fd >= 0) ::close(fd);
}

int write_pieces_at(int fd, std::span<iovec> pieces, off_t offset) {
  std::size_t first = 0;
  while (first < pieces.size()) {
    const std::size_t count = std::min<std::size_t>(pieces.size() - first, IOV_MAX);
    const ssize_t wrote = ::pwritev(fd, pieces.data() + first, static_cast<int>(count), offset);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    offset += wrote;
    auto left = static_cast<std::size_t>(wrote);
    while (first < pieces.size() && left >= pieces[first].iov_len) {
      left -= pieces[first].iov_len;
      ++first;
    }
    if (first < pieces.size()) {
      pieces[first].iov_base = static_cast<char*>(pieces[first].iov_base) + left;
      pieces[first].iov_len -= left;
    }
  }
  return 0;
}

int sync_folder(const std::string& folder) {
  FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.fd < 0) return errno;
  if (::fsync(fd.fd) != 0) return errno;
  return 0;
}

}  // namespace zanthe::dicom_net
