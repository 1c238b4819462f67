// SPDX-License-Identifier: Apache-2.0
// ReadFile and WriteFile for every handle that moves bytes (files, pipes):
// the handle table finds the object, the object does the transfer, so both
// implementations share this dispatch.
#include "platform/common/handles.h"

namespace plat {

BOOL ReadFile(HANDLE h, void* buffer, DWORD toRead, DWORD* read, void* /*overlapped*/) {
  auto stream = detail::LookupAs<detail::Stream>(h);
  if (!stream) {
    if (read) *read = 0;
    return kFALSE;
  }
  return stream->read(buffer, toRead, read);
}

BOOL WriteFile(HANDLE h, const void* buffer, DWORD toWrite, DWORD* written, void* /*overlapped*/) {
  auto stream = detail::LookupAs<detail::Stream>(h);
  if (!stream) {
    if (written) *written = 0;
    return kFALSE;
  }
  return stream->write(buffer, toWrite, written);
}

}  // namespace plat
