// The open sequence: a new image for an empty store, the 0.2 rewrite, header and superblock
// checks, tail recovery, then the state from a checkpoint or from the whole log.
#include "db/open.h"

#include <cerrno>
#include <optional>
#include <utility>

#include "db/database.h"
#include "db/durable_file.h"
#include "db/open_impl.h"
#include "store_instances.h"

namespace quarn {
namespace {

bool is_already_exists(const DbError& error) {
  return error.is<IoError>() && error.as<IoError>().os_code == EEXIST;
}

}  // namespace

template <Store S>
Result<Database<S>> Database<S>::open(const std::string& path) requires std::same_as<S, FileStore> {
  // The directory is resolved once: compaction and reopen act on this file whatever the
  // working directory becomes.
  QUARN_ASSIGN_OR_RETURN(FileLocation location, locate_file(path));
  std::optional<RawFileStore> file;
  for (int attempt = 0; !file; ++attempt) {
    QUARN_ASSIGN_OR_RETURN(file, open_regular_file(location, path));
    if (file) {
      QUARN_ASSIGN_OR_RETURN(const std::uint64_t len, file->len());
      // Written into the file itself, so that other links to it still name the database.
      if (len == 0) QUARN_TRY(write_new_image_in_place(*file));
      break;
    }
    // Missing: the name appears only with the whole image behind it.
    VecStore image;
    QUARN_TRY(write_new_image(image));
    Result<RawFileStore> created = create_file_durably(location, image.bytes());
    if (created.ok()) {
      file.emplace(std::move(created).value());
    } else if (!is_already_exists(created.error()) || attempt >= 2) {
      return std::move(created).error();
    }
    // Another process created it meanwhile: open that one.
  }
  QUARN_ASSIGN_OR_RETURN(Database db, open_with_store(path, FileStore(std::move(*file))));
  remove_stale_temporaries(location);
  db.location_ = std::move(location);
  return db;
}

template <Store S>
Result<Database<S>> Database<S>::open_in_memory() requires std::same_as<S, VecStore> {
  return open_with_store(kMemoryPath, VecStore());
}

template <Store S>
Result<Database<S>> Database<S>::from_snapshot_bytes(
    Bytes bytes) requires std::same_as<S, VecStore> {
  return open_with_store(kMemoryPath, VecStore(std::move(bytes)));
}

template <Store S>
Bytes Database<S>::snapshot_bytes() const requires std::same_as<S, VecStore> {
  return store_.bytes();
}

template <Store S>
    Bytes Database<S>::into_snapshot_bytes() && requires std::same_as<S, VecStore> {
  return store_.take_bytes();
}

QUARN_FOR_EACH_STORE(QUARN_INSTANTIATE_DB_OPEN)

template Result<Database<FileStore>> Database<FileStore>::open(const std::string&);
template Result<Database<VecStore>> Database<VecStore>::open_in_memory();
template Result<Database<VecStore>> Database<VecStore>::from_snapshot_bytes(Bytes);
template Bytes Database<VecStore>::snapshot_bytes() const;
template Bytes Database<VecStore>::into_snapshot_bytes() &&;

}  // namespace quarn
