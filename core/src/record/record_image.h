// Row records decoded straight into the row images the state stores, for the common shape of a
// collection: every value field a primitive, an enum, or an optional of one. Replay decodes one
// record after another of the same few definitions, so the work that depends only on the
// definition (which value goes where in the image, the names' bytes) is done once per
// definition, not once per record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bytes.h"
#include "record/scalar.h"
#include "schema.h"

namespace quarn {

// A row operation other than a delete, as replay stores it.
struct DecodedRecordImage {
  std::uint32_t collection_id = 0;
  std::uint32_t schema_version = 0;
  std::uint8_t op = 0;
  Bytes key;    // the primary key's canonical key bytes
  Bytes image;  // the stored row image, primary key included
};

// How the records of one collection definition become row images.
class RecordImagePlan {
 public:
  // Nothing when the definition is of another shape: a value field that is a list, an object or
  // an optional of one; a field path of more than one segment; a primary key that is no
  // primitive. REQUIRES: primary_def is the definition of the primary field among fields.
  static std::optional<RecordImagePlan> make(const std::string& primary,
                                             const FieldDef& primary_def,
                                             const std::vector<FieldDef>& fields);

  // Decodes a version-2 payload of this definition into out: the collection id, schema version
  // and operation, the canonical key bytes of the primary key, and exactly the image that
  // decode_record_payload_packed builds. False (out then unspecified) for every other payload:
  // another version, a delete, any byte that decoder would refuse. The caller then runs that
  // decoder, which gives the result or the exact error; so this need not say why.
  bool decode(ByteSpan payload, DecodedRecordImage& out) const;

 private:
  struct Field {
    Type::Kind kind;  // the primitive read: an enum reads as a String
    bool optional;
    // Its name as the image writes it (LEB128 length and bytes), in names_.
    std::uint32_t name_at;
    std::uint32_t name_size;
  };

  RecordImagePlan() = default;

  Type pk_type_ = Type(Type::Kind::Int64);
  // The value fields in payload order, then the primary key.
  std::vector<Field> fields_;
  // The index in fields_ of each field of the image, in the image's name order; of a name
  // listed twice only the later listing.
  std::vector<std::uint32_t> image_order_;
  Bytes names_;
  // The image's field count, as the image writes it.
  Bytes count_;
};

}  // namespace quarn
