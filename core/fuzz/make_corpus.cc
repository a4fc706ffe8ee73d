// Writes the seed corpus of every fuzz target: a few small images made through the engine (new,
// with rows and indexes, with nested types and a second schema version, an unframed old format,
// a header-only 0.2 file, a checkpoint, a leftover spill run) and the payloads they hold.
// Usage: make_fuzz_corpus DIR (fills DIR/<target>/).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bytes.h"
#include "catalog/codec.h"
#include "checksum.h"
#include "db/database.h"
#include "file_format.h"
#include "fuzz_support.h"
#include "record/row_value.h"
#include "segments/header.h"
#include "segments/reader.h"
#include "spill_internal.h"
#include "superblock.h"

namespace quarn::fuzz {
namespace {

using MemDb = Database<VecStore>;

std::filesystem::path g_root;

// Stops with the engine's message when a seed cannot be made.
template <class R>
void must(const R& result) {
  if (!result.ok()) {
    std::fprintf(stderr, "make_fuzz_corpus: %s\n", result.error().render().c_str());
    std::exit(1);
  }
}

void write_seed(const std::string& target, const std::string& name, ByteSpan bytes) {
  const std::filesystem::path dir = g_root / target;
  std::filesystem::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  require(out.good());
}

void write_seed(const std::string& target, const std::string& name, const std::string& text) {
  write_seed(target, name, as_span(text));
}

FieldDef def(std::string name, Type type, std::vector<Constraint> constraints = {}) {
  return FieldDef{FieldPath::make({std::move(name)}).value(), std::move(type),
                  std::move(constraints)};
}

IndexDef index(std::string name, std::string field, IndexKind kind) {
  return IndexDef{std::move(name), FieldPath::make({std::move(field)}).value(), kind};
}

RowValue str(std::string text) { return RowValue(ScalarValue::String{std::move(text)}); }
RowValue i64(std::int64_t v) { return RowValue(ScalarValue::Int64{v}); }

// id Int64 primary, email String unique, nick Optional<String> unique; three rows, one deleted.
MemDb users_db() {
  MemDb db = MemDb::open_in_memory().value();
  const std::uint32_t id =
      db.register_collection_with_indexes(
            "users",
            {def("id", Type(Type::Kind::Int64)), def("email", Type(Type::Kind::String)),
             def("nick", Type::optional(Type(Type::Kind::String)))},
            {index("by_email", "email", IndexKind::Unique),
             index("by_nick", "nick", IndexKind::Unique)},
            "id")
          .value()
          .first;
  must(db.insert(id, Row{{"id", i64(1)}, {"email", str("a@x.io")}, {"nick", str("ann")}}));
  must(db.insert(id, Row{{"id", i64(2)}, {"email", str("b@x.io")}}));
  must(db.insert(id, Row{{"id", i64(-3)}, {"email", str("c@x.io")}}));
  must(db.delete_row(id, ScalarValue::Int64{2}));
  return db;
}

std::vector<FieldDef> item_fields() {
  return {
      def("key", Type(Type::Kind::String), {Constraint::NonEmpty{}}),
      def("tags", Type::list(Type(Type::Kind::String)), {Constraint::MaxLength{4}}),
      def("meta", Type::object({def("a", Type(Type::Kind::Int64)),
                                def("b", Type::optional(Type(Type::Kind::Bool)))})),
      def("kind", Type::enumeration({"x", "y"})),
      def("score", Type(Type::Kind::Float64), {Constraint::MinF64{-1.5}}),
      def("uid", Type(Type::Kind::Uuid)),
      def("ts", Type(Type::Kind::Timestamp)),
      def("n", Type(Type::Kind::Uint64), {Constraint::MaxU64{1000}}),
      def("raw", Type(Type::Kind::Bytes)),
      def("mail", Type::optional(Type(Type::Kind::String)), {Constraint::Email{}}),
  };
}

Row item(std::string key, std::uint64_t n, double score, std::string kind) {
  Row meta{{"a", i64(static_cast<std::int64_t>(n) * 7)}};
  meta.emplace("b", n % 2 == 0 ? RowValue(ScalarValue::Bool{true}) : RowValue());
  return Row{{"key", str(std::move(key))},
             {"tags", RowValue(RowValue::List{str("t"), str("u")})},
             {"meta", RowValue::object(std::move(meta))},
             {"kind", str(std::move(kind))},
             {"score", RowValue(ScalarValue::Float64{score})},
             {"uid", RowValue(ScalarValue::Uuid{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                                                 static_cast<std::uint8_t>(n)}})},
             {"ts", RowValue(ScalarValue::Timestamp{1700000000 + static_cast<std::int64_t>(n)})},
             {"n", RowValue(ScalarValue::Uint64{n})},
             {"raw", RowValue(ScalarValue::Bytes{{0, 255, static_cast<std::uint8_t>(n)}})}};
}

// Nested, list, enum and every primitive type; a non-unique index; a transaction; a second
// schema version with a new optional field.
MemDb items_db() {
  MemDb db = MemDb::open_in_memory().value();
  const std::uint32_t id =
      db.register_collection_with_indexes("items", item_fields(),
                                          {index("by_n", "n", IndexKind::NonUnique),
                                           index("by_kind", "kind", IndexKind::NonUnique)},
                                          "key")
          .value()
          .first;
  must(db.begin_transaction());
  must(db.insert(id, item("p", 4, 0.5, "x")));
  must(db.insert(id, item("q", 4, -0.0, "y")));
  must(db.commit_txn_staging());
  std::vector<FieldDef> v2 = item_fields();
  v2.push_back(def("note", Type::optional(Type(Type::Kind::String))));
  must(db.register_schema_version_with_indexes(id, v2, {index("by_n", "n", IndexKind::NonUnique)}));
  Row r = item("r", 9, 1e300, "x");
  r.emplace("note", str("second version"));
  must(db.insert(id, std::move(r)));
  return db;
}

struct Segment {
  SegmentType type;
  Bytes header;
  Bytes payload;
};

std::vector<Segment> segments_of(Bytes image) {
  VecStore store(std::move(image));
  std::vector<Segment> out;
  const std::vector<SegmentMeta> metas = scan_segments(store, kDataStart).value();
  for (const SegmentMeta& meta : metas) {
    Bytes header(kSegmentHeaderSize);
    must(store.read_exact_at(meta.offset, header));
    out.push_back(
        {meta.header.segment_type, std::move(header), read_segment_payload(store, meta).value()});
  }
  return out;
}

void append_segment(Bytes& image, SegmentType type, ByteSpan payload) {
  encode_segment_header(SegmentHeader{payload.size(), crc32c(payload), type}, image);
  image.insert(image.end(), payload.begin(), payload.end());
}

// The users image with a checkpoint of its whole state behind its log, named by slot A.
Bytes checkpoint_payload_of(const std::vector<Segment>& segments, std::uint64_t replay_offset) {
  Bytes out;
  ByteWriter w(out);
  w.put_u16(0);
  w.put_u64(replay_offset);
  std::vector<const Bytes*> catalogs;
  std::vector<const Bytes*> records;
  std::vector<IndexEntry> entries;
  for (const Segment& s : segments) {
    if (s.type == SegmentType::Catalog) catalogs.push_back(&s.payload);
    if (s.type == SegmentType::Record && s.payload.size() > 10 && s.payload[10] != 3) {
      records.push_back(&s.payload);
    }
    if (s.type == SegmentType::Index) {
      std::vector<IndexEntry> decoded = decode_index_payload(s.payload).value();
      for (IndexEntry& e : decoded) entries.push_back(std::move(e));
    }
  }
  w.put_u32(static_cast<std::uint32_t>(catalogs.size()));
  for (const Bytes* c : catalogs) w.put_len_prefixed(*c);
  w.put_u32(static_cast<std::uint32_t>(records.size()));
  for (const Bytes* r : records) w.put_len_prefixed(*r);
  w.put_len_prefixed(encode_index_payload(entries));
  return out;
}

void write_images() {
  write_seed("open_image", "empty.qdb", MemDb::open_in_memory().value().snapshot_bytes());
  const Bytes users = users_db().snapshot_bytes();
  write_seed("open_image", "users.qdb", users);
  const Bytes items = items_db().snapshot_bytes();
  write_seed("open_image", "items.qdb", items);

  Bytes unframed = users;
  unframed[kFileHeaderMinorAt] = 5;
  write_seed("open_image", "users-unframed-0.5.qdb", unframed);

  Bytes header_only = FileHeader{0, 32, 0, 2}.encode();
  write_seed("open_image", "header-only-0.2.qdb", header_only);
  write_seed("file_header", "minor-2", header_only);
  write_seed("file_header", "minor-6", ByteSpan(users).first(kFileHeaderSize));

  Bytes with_checkpoint = users;
  const std::uint64_t checkpoint_at = with_checkpoint.size();
  const Bytes checkpoint = checkpoint_payload_of(segments_of(users), checkpoint_at);
  append_segment(with_checkpoint, SegmentType::Checkpoint, checkpoint);
  Superblock sb;
  sb.generation = 100;
  sb.checkpoint_offset = checkpoint_at;
  sb.checkpoint_len = static_cast<std::uint32_t>(checkpoint.size());
  const Bytes slot = sb.encode();
  std::copy(slot.begin(), slot.end(), with_checkpoint.begin() + kSuperblockSlotAOffset);
  write_seed("open_image", "users-checkpoint.qdb", with_checkpoint);
  write_seed("checkpoint_payload", "users", checkpoint);
  write_seed("checkpoint_payload", "empty", checkpoint_payload_of({}, 0));

  // A run left behind by a sort that never cut it off.
  Bytes with_spill = users;
  const std::vector<SortItem> run = {
      {Bytes{1, 0, 0, 0, 0, 0, 0, 0, 5}, 1, Bytes{5, 0, 0, 0, 0, 0, 0, 0}, false},
      {Bytes{}, 1, Bytes{6, 0, 0, 0, 0, 0, 0, 0}, true}};
  append_segment(with_spill, SegmentType::TempSpill, encode_run(run));
  write_seed("open_image", "users-spill.qdb", with_spill);

  write_seed("superblock", "slot-a",
             ByteSpan(users).subspan(kSuperblockSlotAOffset, kSuperblockSize));
  write_seed("superblock", "slots-a-b",
             ByteSpan(users).subspan(kSuperblockSlotAOffset, 2 * kSuperblockSize));

  // Payloads, one seed per distinct payload, the record and value seeds framed with the
  // creation entry of their collection.
  std::map<SegmentType, int> seen;
  for (const Bytes& image : {users, items}) {
    Bytes create;
    for (const Segment& s : segments_of(image)) {
      const int n = seen[s.type]++;
      const std::string name = std::to_string(n);
      if (n == 0)
        write_seed("segment_header", "type-" + std::to_string(static_cast<int>(s.type)), s.header);
      switch (s.type) {
        case SegmentType::Catalog:
          if (create.empty()) create = s.payload;
          write_seed("catalog_payload", name, s.payload);
          break;
        case SegmentType::Record:
          if (n < 4) write_seed("record_payload", name, prefixed(create, s.payload));
          break;
        case SegmentType::Index:
          if (n < 4) write_seed("index_payload", name, s.payload);
          break;
        case SegmentType::Manifest:
          if (n == 0) write_seed("manifest", name, s.payload);
          break;
        case SegmentType::TxnBegin:
          if (n == 0) write_seed("txn_marker", name, s.payload);
          break;
        default:
          break;
      }
    }
  }
  // A version-1 index payload: every entry an insert, no op byte.
  write_seed("index_payload", "v1-empty", Bytes{1, 0, 0, 0, 0, 0});
}

void write_values() {
  const CatalogRecordWire create =
      CatalogRecordWire::CreateCollection{1, "items", 1, item_fields(), {}, "key"};
  const Bytes catalog = encode_catalog_payload(create);
  const Row row = item("v", 6, 2.25, "y");
  const std::vector<FieldDef> fields = item_fields();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const auto it = row.find(fields[i].path.first());
    Bytes value{static_cast<std::uint8_t>(i)};
    must(encode_row_value(value, it == row.end() ? RowValue() : it->second, fields[i].type));
    write_seed("row_value", fields[i].path.first(), prefixed(catalog, value));
  }
}

void write_texts() {
  const std::pair<const char*, const char*> sql[] = {
      {"star", "SELECT * FROM users"},
      {"where", "select id, address.city FROM users WHERE age >= ? AND (name = ? OR x.y < ?)"},
      {"order", "SELECT a FROM t WHERE a > ? ORDER BY a.b DESC LIMIT 10"},
      {"or", "SELECT * FROM c_1 WHERE (a = ? OR b <= ?) AND c > ? ORDER BY d ASC"},
  };
  for (const auto& [name, text] : sql) write_seed("sql", name, std::string(text));

  const std::pair<const char*, std::string> json[] = {
      {"users",
       std::string(R"([{"path": ["id"], "type": "int64"}, {"path": ["email"], "type": "string",)"
                   R"( "constraints": [{"email": true}, {"max_length": 64}]}])") +
           '\0' + R"([{"name": "by_email", "path": ["email"], "kind": "unique"}])"},
      {"nested",
       std::string(
           R"([{"path": ["k"], "type": "uuid"}, {"path": ["tags"], "type": {"list": "string"}},)"
           R"( {"path": ["o"], "type": {"object": [{"path": ["a"], "type": {"optional": "float64"}}]}},)"
           R"( {"path": ["e"], "type": {"enum": ["x", "y"]}}, {"path": ["n"], "type": "uint64",)"
           R"( "constraints": [{"min_u64": 1}, {"regex": "^a+$"}, {"nonempty": true}]}])") +
           '\0' + R"([{"name": "by_e", "path": ["e"], "kind": "non_unique"}])"},
  };
  for (const auto& [name, text] : json) write_seed("fields_json", name, text);
}

}  // namespace
}  // namespace quarn::fuzz

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  quarn::fuzz::g_root = argv[1];
  quarn::fuzz::write_images();
  quarn::fuzz::write_values();
  quarn::fuzz::write_texts();
  return 0;
}
