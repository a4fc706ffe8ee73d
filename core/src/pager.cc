// The write-through page cache over an inner store, and the file store built on it.
#include "pager.h"

namespace quarn {

template class PagedStore<RawFileStore>;

Result<FileStore> FileStore::open(const std::string& path, OpenMode mode) {
  QUARN_ASSIGN_OR_RETURN(RawFileStore file, RawFileStore::open(path, mode));
  return FileStore(std::move(file));
}

}  // namespace quarn
