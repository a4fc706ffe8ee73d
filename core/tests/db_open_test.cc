// The open sequence: new images, the 0.2 rewrite, rejected images, recovery cuts, files.
#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include "db/database.h"
#include "db/open.h"
#include "durable_file.h"
#include "manifest.h"
#include "superblock.h"
#include "testing/database_peer.h"
#include "testing/db.h"
#include "testing/db_state.h"
#include "testing/fault_store.h"
#include "testing/log_images.h"
#include "testing/matchers.h"
#include "testing/temp_dir.h"

namespace quarn {
namespace {

using testing::ErrorRenders;
using testing::FaultStore;
using testing::IsOk;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

// The 8274 bytes of a new image, put together from the fixed records.
Bytes expected_new_image(std::uint16_t minor) {
  Bytes image;
  FileHeader header;
  header.minor = minor;
  encode_file_header(header, image);
  Superblock a;
  a.generation = 1;
  encode_superblock(a, image);
  Superblock b;
  b.generation = 2;
  b.manifest_offset = kDataStart;
  b.manifest_len = 18;
  encode_superblock(b, image);
  testing::append(image, testing::segment(SegmentType::Manifest,
                                          ManifestV0::encode(kDataStart, kManifestSegmentLen)));
  return image;
}

TEST(OpenTest, NewImageIsTheFixedAreaAndOneManifest) {
  ASSERT_OK_AND_ASSIGN(Database<VecStore> db, Database<VecStore>::open_in_memory());
  EXPECT_EQ(db.snapshot_bytes(), expected_new_image(6));
  EXPECT_EQ(db.format_minor(), 6);
  EXPECT_EQ(db.path(), ":memory:");
  EXPECT_EQ(db.catalog().next_id(), 1u);
  EXPECT_EQ(testing::latest_of(db).size(), 0u);
  EXPECT_FALSE(db.in_transaction());
  EXPECT_EQ(db.last_txn_id(), 0u);
  EXPECT_EQ(db.data_start(), kDataStart);
}

TEST(OpenTest, NewImageIsSyncedTwice) {
  ASSERT_OK_AND_ASSIGN(Database<FaultStore> db,
                       Database<FaultStore>::open_with_store("x", FaultStore()));
  EXPECT_EQ(db.store().syncs(), 2u);
  EXPECT_EQ(db.store().synced_bytes(), expected_new_image(6));
}

TEST(OpenTest, EmptySnapshotGivesNewImageAndSnapshotReopensUnchanged) {
  ASSERT_OK_AND_ASSIGN(Database<VecStore> db, Database<VecStore>::from_snapshot_bytes({}));
  const Bytes image = std::move(db).into_snapshot_bytes();
  ASSERT_EQ(image.size(), 8274u);
  FaultStore store(image);
  ASSERT_OK_AND_ASSIGN(Database<FaultStore> reopened,
                       Database<FaultStore>::open_with_store("x", std::move(store)));
  EXPECT_EQ(reopened.store().mutations(), 0u);
  EXPECT_EQ(reopened.store().bytes(), image);
}

TEST(OpenTest, Minor2HeaderAloneIsRewrittenAsMinor3) {
  Bytes header;
  encode_file_header(FileHeader{0, 32, 0, 2}, header);
  ASSERT_OK_AND_ASSIGN(Database<VecStore> db, Database<VecStore>::from_snapshot_bytes(header));
  EXPECT_EQ(db.format_minor(), 3);
  EXPECT_EQ(db.snapshot_bytes(), expected_new_image(3));
}

struct RejectedImage {
  const char* name;
  Bytes image;
  const char* error;
};

Bytes header_bytes(std::uint16_t major, std::uint16_t minor) {
  Bytes out;
  encode_file_header(FileHeader{0, 32, major, minor}, out);
  return out;
}

Bytes with_size(Bytes bytes, std::size_t size) {
  bytes.resize(size, 0);
  return bytes;
}

Bytes slots_zeroed() {
  Bytes image = testing::image_with_log(6);
  std::fill(image.begin() + kSuperblockSlotAOffset, image.begin() + kDataStart, 0);
  return image;
}

class OpenRejectsTest : public ::testing::TestWithParam<RejectedImage> {};

TEST_P(OpenRejectsTest, FailsWithItsError) {
  EXPECT_THAT(Database<VecStore>::from_snapshot_bytes(GetParam().image),
              ErrorRenders(GetParam().error));
}

INSTANTIATE_TEST_SUITE_P(
    Images, OpenRejectsTest,
    ::testing::Values(
        RejectedImage{"OneByte", Bytes(1, 'Q'),
                      "format error: truncated header: got 1 bytes, expected 32"},
        RejectedImage{"TenBytes", Bytes(10, 0),
                      "format error: truncated header: got 10 bytes, expected 32"},
        RejectedImage{"ThirtyOneBytes", with_size(header_bytes(0, 6), 31),
                      "format error: truncated header: got 31 bytes, expected 32"},
        RejectedImage{"BadMagic", with_size(Bytes{'Q', 'D', 'B', '1'}, 8274),
                      "format error: bad magic bytes: expected \"QDB0\", got [51, 44, 42, 31]"},
        RejectedImage{"Major1", header_bytes(1, 6), "format error: unsupported format version 1.6"},
        RejectedImage{"Minor7", header_bytes(0, 7), "format error: unsupported format version 0.7"},
        RejectedImage{"Minor1", header_bytes(0, 1), "format error: unsupported format version 0.1"},
        RejectedImage{"Minor2WithTrailingByte", with_size(header_bytes(0, 2), 33),
                      "format error: unsupported format version 0.2"},
        RejectedImage{"Minor4Of8000Bytes", with_size(header_bytes(0, 4), 8000),
                      "format error: truncated superblock: got 8000 bytes, expected 8224"},
        RejectedImage{"HeaderAloneMinor6", header_bytes(0, 6),
                      "format error: truncated superblock: got 32 bytes, expected 8224"},
        RejectedImage{"HeaderAndZeroByteAt8223", with_size(header_bytes(0, 6), 8224),
                      "format error: superblock checksum mismatch"},
        RejectedImage{"BothSlotsZeroed", slots_zeroed(),
                      "format error: superblock checksum mismatch"}),
    [](const ::testing::TestParamInfo<RejectedImage>& p) { return std::string(p.param.name); });

TEST(OpenTest, EitherValidSlotServes) {
  for (const std::uint64_t slot : {kSuperblockSlotAOffset, kSuperblockSlotBOffset}) {
    Bytes image = testing::image_with_log(6);
    image[slot + 8] ^= 1;
    EXPECT_THAT(Database<VecStore>::from_snapshot_bytes(image), IsOk());
  }
}

TEST(OpenTest, SuperblockManifestPointerPastTheEndDoesNotMatter) {
  Bytes image = testing::image_with_log(6);
  Superblock b;
  b.generation = 9;
  b.manifest_offset = 1 << 30;
  b.manifest_len = 18;
  const Bytes slot = b.encode();
  std::copy(slot.begin(), slot.end(), image.begin() + kSuperblockSlotBOffset);
  EXPECT_THAT(Database<VecStore>::from_snapshot_bytes(image), IsOk());
}

TEST(OpenTest, TornTailIsCutAndSynced) {
  Bytes log = testing::segment(SegmentType::Catalog, testing::create_users());
  const Bytes good = testing::image_with_log(5, log);
  Bytes torn = good;
  testing::append(
      torn,
      ByteSpan(testing::segment(SegmentType::Record, testing::user_record(1, "a"))).first(40));
  ASSERT_OK_AND_ASSIGN(Database<FaultStore> db,
                       Database<FaultStore>::open_with_store("x", FaultStore(torn)));
  EXPECT_EQ(db.store().bytes(), good);
  EXPECT_EQ(db.store().synced_bytes(), good);
  EXPECT_EQ(db.store().truncates(), 1u);
  EXPECT_EQ(db.catalog().collections().size(), 1u);
  EXPECT_EQ(db.format_minor(), 5);
}

TEST(OpenTest, UnfinishedTransactionIsCutToItsBegin) {
  Bytes log;
  testing::append(log, testing::marker(SegmentType::TxnBegin, 1));
  testing::append(log, testing::segment(SegmentType::Catalog, testing::create_users()));
  const Bytes good = testing::image_with_log(6);
  ASSERT_OK_AND_ASSIGN(Database<VecStore> db,
                       Database<VecStore>::from_snapshot_bytes(testing::image_with_log(6, log)));
  EXPECT_EQ(db.snapshot_bytes(), good);
  EXPECT_TRUE(db.catalog().collections().empty());
}

TEST(OpenTest, FailedRecoveryTruncationFailsTheOpen) {
  Bytes torn = testing::image_with_log(6);
  torn.push_back(0x51);
  FaultStore store(torn);
  store.fail_truncate_at(1);
  EXPECT_THAT(Database<FaultStore>::open_with_store("x", std::move(store)),
              ErrorRenders("i/o error: Input/output error (os error 5)"));
}

// Every prefix of the writes of a creation, and what survives a crash after each failure.
TEST(OpenTest, InterruptedCreationLeavesAnImageThatOpensOrFailsAsExpected) {
  std::uint64_t steps = 0;
  {
    FaultStore clean;
    ASSERT_OK(write_new_image(clean));
    steps = clean.mutations();
  }
  // Header, zero byte, slot A, slot B, manifest header and payload, slot B again, two syncs.
  ASSERT_EQ(steps, 9u);
  for (std::uint64_t n = 1; n <= steps; ++n) {
    SCOPED_TRACE(n);
    FaultStore store;
    store.fail_mutation_at(n);
    EXPECT_FALSE(write_new_image(store).ok());
    auto opened = Database<VecStore>::from_snapshot_bytes(store.bytes());
    if (!opened.ok()) {
      EXPECT_THAT(opened,
                  ::testing::AnyOf(ErrorRenders("format error: truncated superblock: got 32 bytes, "
                                                "expected 8224"),
                                   ErrorRenders("format error: superblock checksum mismatch")));
    }
    const Bytes durable = store.crash();
    EXPECT_TRUE(durable.empty() || durable == expected_new_image(6));
  }
}

TEST(OpenFileTest, MissingPathBecomesANewImageFileAndReopenChangesNothing) {
  TempDir dir;
  const std::filesystem::path path = dir.file("db.quarn");
  {
    ASSERT_OK_AND_ASSIGN(Database<FileStore> db, Database<FileStore>::open(path.string()));
    EXPECT_EQ(db.path(), path.string());
    EXPECT_EQ(db.format_minor(), 6);
  }
  const Bytes image = read_file(path);
  EXPECT_EQ(image, expected_new_image(6));
  const mode_t mask = ::umask(0);
  ::umask(mask);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
  // Nothing is left beside it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

  ASSERT_OK_AND_ASSIGN(Database<FileStore> again, Database<FileStore>::open(path.string()));
  EXPECT_TRUE(again.catalog().collections().empty());
  EXPECT_EQ(read_file(path), image);
}

// Replay hands back the pages of a file's image as it applies them: a log of many MiB, with
// rows replaced and deleted across transactions, reopens to the state it holds.
TEST(OpenFileTest, ALogOfManyMiBReopensToTheStateItHolds) {
  TempDir dir;
  const std::string path = dir.file("db.quarn").string();
  ASSERT_OK_AND_ASSIGN(Database<FileStore> db, Database<FileStore>::open(path));
  ASSERT_OK(db.register_collection_with_indexes("users", testing::user_fields(),
                                                testing::user_indexes(), "id"));
  for (int round = 0; round < 5; ++round) {
    ASSERT_OK(db.begin_transaction());
    for (int id = 0; id < 2000; ++id) {
      const std::string email =
          std::to_string(id) + "@" + std::string(1000, static_cast<char>('a' + round));
      ASSERT_OK(db.insert(1, testing::user(id, email)));
    }
    ASSERT_OK(db.commit_txn_staging());
    ASSERT_OK(db.delete_row(1, testing::s_i64(round)));
  }
  ASSERT_OK_AND_ASSIGN(const std::uint64_t len, db.store().len());
  ASSERT_GT(len, std::uint64_t{8} << 20);
  ASSERT_OK_AND_ASSIGN(Database<FileStore> again, Database<FileStore>::open(path));
  EXPECT_EQ(again.catalog().collections(), db.catalog().collections());
  EXPECT_EQ(testing::committed_latest_of(again), testing::committed_latest_of(db));
  // Each round puts back the row the one before deleted.
  ASSERT_EQ(again.state().row_count(1), 1999u);
  for (const auto entry : db.state().rows_of(1)) {
    const Bytes email = entry.row.find("email")->as_scalar()->canonical_key_bytes();
    const std::optional<ByteSpan> owner = again.state().unique_lookup(1, "by_email", email);
    ASSERT_TRUE(owner.has_value());
    EXPECT_TRUE(std::ranges::equal(*owner, entry.pk));
  }
}

// The image goes into the empty file itself: its permissions stay, and so do other links to it.
TEST(OpenFileTest, EmptyFileBecomesANewImageKeepingItsInodeAndPermissions) {
  TempDir dir;
  const std::filesystem::path path = dir.file("db.quarn");
  write_file(path, {});
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  std::filesystem::create_hard_link(path, dir.file("other-name"));
  struct stat before;
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  {
    ASSERT_OK_AND_ASSIGN(Database<FileStore> db, Database<FileStore>::open(path.string()));
    ASSERT_OK(db.register_collection_with_indexes("users", testing::users_fields(),
                                                  testing::users_indexes(), "id"));
  }
  struct stat after;
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_nlink, 2u);
  EXPECT_EQ(after.st_mode & 0777, 0600u);
  EXPECT_EQ(read_file(dir.file("other-name")), read_file(path));
  ASSERT_OK_AND_ASSIGN(Database<FileStore> via_link,
                       Database<FileStore>::open(dir.file("other-name").string()));
  EXPECT_EQ(via_link.catalog().collections().size(), 1u);
}

// One write and one sync: a failure at either, torn or not, leaves the store empty again, and
// a crash keeps nothing or the whole image.
TEST(OpenTest, NewImageInPlaceLeavesAnEmptyStoreOrTheWholeImage) {
  {
    FaultStore clean;
    ASSERT_OK(write_new_image_in_place(clean));
    EXPECT_EQ(clean.synced_bytes(), expected_new_image(6));
    EXPECT_EQ(clean.mutations(), 2u);
  }
  for (const std::size_t torn : {std::size_t{0}, std::size_t{31}, std::size_t{4096}}) {
    SCOPED_TRACE(torn);
    FaultStore store;
    store.fail_write_at(1, FaultStore::eio(), torn);
    EXPECT_THAT(write_new_image_in_place(store),
                ErrorRenders("i/o error: Input/output error (os error 5)"));
    EXPECT_TRUE(store.bytes().empty());
    EXPECT_TRUE(store.crash().empty());
  }
  FaultStore unsynced;
  unsynced.fail_sync_at(1);
  EXPECT_FALSE(write_new_image_in_place(unsynced).ok());
  EXPECT_TRUE(unsynced.bytes().empty());
  EXPECT_TRUE(unsynced.crash().empty());
}

// Each kind is refused before it is opened or written, whatever the spelling: a FIFO would
// otherwise block or be replaced by a regular file.
TEST(OpenFileTest, PathThatIsNotARegularFileIsRefusedAndLeftAlone) {
  TempDir dir;
  const std::filesystem::path fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::filesystem::path socket_path = dir.file("socket");
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socket_path.string().size(), sizeof(address.sun_path));
  std::strcpy(address.sun_path, socket_path.c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  std::filesystem::create_symlink("fifo", dir.file("link-to-fifo"));
  std::vector<std::string> refused = {fifo.string(), socket_path.string(),
                                      dir.file("link-to-fifo").string()};
  // A node of the zero device; only root may make one.
  const std::filesystem::path device = dir.file("zero");
  if (::mknod(device.c_str(), S_IFCHR | 0600, ::makedev(1, 5)) == 0) {
    refused.push_back(device.string());
  }
  for (const std::string& path : refused) {
    SCOPED_TRACE(path);
    EXPECT_THAT(Database<FileStore>::open(path),
                ErrorRenders("i/o error: database path is not a regular file: " + path));
  }
  ::close(sock);
  struct stat st;
  ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  ASSERT_EQ(::lstat(socket_path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  if (refused.size() == 4) {
    ASSERT_EQ(::stat(device.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}),
            static_cast<std::ptrdiff_t>(refused.size()));
}

TEST(OpenFileTest, SymlinkToMissingFileCreatesItsTarget) {
  TempDir dir;
  std::filesystem::create_symlink("target.quarn", dir.file("link.quarn"));
  ASSERT_OK(Database<FileStore>::open(dir.file("link.quarn").string()));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.quarn")));
  EXPECT_EQ(read_file(dir.file("target.quarn")), expected_new_image(6));
}

TEST(OpenFileTest, ShortFileIsNotReplaced) {
  TempDir dir;
  const std::filesystem::path path = dir.file("db.quarn");
  write_file(path, Bytes(10, 0));
  EXPECT_THAT(Database<FileStore>::open(path.string()),
              ErrorRenders("format error: truncated header: got 10 bytes, expected 32"));
  EXPECT_EQ(read_file(path), Bytes(10, 0));
}

TEST(OpenFileTest, OperatingSystemErrorsAreIoErrors) {
  TempDir dir;
  EXPECT_THAT(Database<FileStore>::open(dir.path().string()),
              ErrorRenders("i/o error: Is a directory (os error 21)"));
  EXPECT_THAT(Database<FileStore>::open((dir.path() / "no" / "db").string()),
              ErrorRenders("i/o error: No such file or directory (os error 2)"));
  EXPECT_THAT(Database<FileStore>::open(std::string("a\0b", 3)),
              ErrorRenders("i/o error: file name contained an unexpected NUL byte"));
  EXPECT_THAT(Database<FileStore>::open(""),
              ErrorRenders("i/o error: No such file or directory (os error 2)"));
  EXPECT_THAT(Database<FileStore>::open(dir.path().string() + "/"),
              ErrorRenders("i/o error: Is a directory (os error 21)"));
}

TEST(OpenFileTest, CreationInAReadOnlyDirectoryLeavesNoFile) {
  if (::geteuid() == 0) GTEST_SKIP() << "root ignores directory permissions";
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
  EXPECT_THAT(Database<FileStore>::open(dir.file("db").string()),
              ErrorRenders("i/o error: Permission denied (os error 13)"));
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 0);
}

TEST(OpenFileTest, CreationThatCannotWriteTheWholeImageLeavesNoFile) {
  TempDir dir;
  auto opened = [&] {
    testing::FileSizeLimit limit(4000);
    return Database<FileStore>::open(dir.file("db").string());
  }();
  EXPECT_THAT(opened, ErrorRenders("i/o error: File too large (os error 27)"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 0);
}

// A log whose last commit was still being written: what another handle's commit in flight looks
// like from outside. good: the same log without it.
struct TornFile {
  Bytes good;
  Bytes torn;
};

TornFile torn_file() {
  Bytes log;
  testing::append(log, testing::marker(SegmentType::TxnBegin, 1));
  testing::append(log, testing::segment(SegmentType::Catalog, testing::create_users()));
  testing::append(log, testing::marker(SegmentType::TxnCommit, 1));
  TornFile file{testing::image_with_log(6, log), {}};
  file.torn = file.good;
  testing::append(file.torn, testing::marker(SegmentType::TxnBegin, 2));
  testing::append(
      file.torn,
      ByteSpan(testing::segment(SegmentType::Record, testing::user_record(1, "a"))).first(40));
  return file;
}

// The write lock, as another handle holds it.
struct HeldLock {
  explicit HeldLock(const std::filesystem::path& path)
      : file(RawFileStore::open(path.string(), OpenMode::ExistingOnly).value()),
        lock(FileWriteLock::acquire(file.fd(), std::chrono::milliseconds(0)).value()) {
    EXPECT_TRUE(lock.has_value());
  }
  RawFileStore file;
  std::optional<FileWriteLock> lock;
};

constexpr const char* kFileChanged =
    "i/o error: the database file was changed by another handle; open the database again to "
    "write to it";
constexpr const char* kFileBusy =
    "i/o error: the database file is being written by another handle; wait for it, then open the "
    "database again to write to it";

TEST(OpenFileTest, TornTailStaysWhileAnotherHandleHoldsTheLockAndGoesOnceNoneDoes) {
  TempDir dir;
  const std::filesystem::path path = dir.file("db");
  const TornFile file = torn_file();
  write_file(path, file.torn);
  auto held = std::make_optional<HeldLock>(path);

  ASSERT_OK_AND_ASSIGN(Database<FileStore> db, Database<FileStore>::open(path.string()));
  EXPECT_EQ(read_file(path), file.torn);
  EXPECT_EQ(db.catalog().collections().size(), 1u);
  EXPECT_EQ(testing::latest_of(db).size(), 0u);
  EXPECT_THAT(db.insert(1, testing::user_row(1, "b")), ErrorRenders(kFileBusy));
  held.reset();
  // The file goes on past the log this handle read.
  EXPECT_THAT(db.insert(1, testing::user_row(1, "b")), ErrorRenders(kFileChanged));
  EXPECT_EQ(read_file(path), file.torn);

  ASSERT_OK_AND_ASSIGN(Database<FileStore> again, Database<FileStore>::open(path.string()));
  EXPECT_EQ(read_file(path), file.good);
  ASSERT_OK(again.insert(1, testing::user_row(1, "b")));
}

TEST(OpenFileTest, AnOpenForReadingWritesNothingButANewImage) {
  TempDir dir;
  const char* read_only = "i/o error: the database was opened for reading only";
  const std::filesystem::path torn_path = dir.file("torn");
  const TornFile file = torn_file();
  write_file(torn_path, file.torn);
  {
    ASSERT_OK_AND_ASSIGN(Database<FileStore> db,
                         Database<FileStore>::open_for_reading(torn_path.string()));
    EXPECT_EQ(db.catalog().collections().size(), 1u);
    EXPECT_THAT(db.insert(1, testing::user_row(1, "b")), ErrorRenders(read_only));
    EXPECT_THAT(db.begin_transaction(), IsOk());
    EXPECT_THAT(db.insert(1, testing::user_row(1, "b")), ErrorRenders(read_only));
    db.rollback_transaction();
    EXPECT_THAT(db.compact_in_place(), ErrorRenders(read_only));
  }
  EXPECT_EQ(read_file(torn_path), file.torn);

  const std::filesystem::path old_path = dir.file("old");
  Bytes header_only;
  FileHeader header;
  header.minor = kFormatMinorHeaderOnly;
  encode_file_header(header, header_only);
  write_file(old_path, header_only);
  {
    ASSERT_OK_AND_ASSIGN(Database<FileStore> db,
                         Database<FileStore>::open_for_reading(old_path.string()));
    EXPECT_EQ(db.format_minor(), kFormatMinorFixedArea);
    EXPECT_TRUE(db.catalog().collections().empty());
  }
  EXPECT_EQ(read_file(old_path), header_only);

  const std::filesystem::path new_path = dir.file("new");
  ASSERT_OK(Database<FileStore>::open_for_reading(new_path.string()));
  EXPECT_EQ(read_file(new_path), expected_new_image(6));
}

TEST(OpenFileTest, AnEmptyFileIsLaidOutOnlyUnderItsLock) {
  TempDir dir;
  const std::filesystem::path path = dir.file("db");
  write_file(path, {});
  {
    HeldLock held(path);
    EXPECT_THAT(Database<FileStore>::open(path.string()), ErrorRenders(kFileBusy));
    EXPECT_TRUE(read_file(path).empty());
  }
  ASSERT_OK(Database<FileStore>::open(path.string()));
  EXPECT_EQ(read_file(path), expected_new_image(6));
}

}  // namespace
}  // namespace quarn
