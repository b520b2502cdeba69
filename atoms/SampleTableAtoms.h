#pragma once
// Sample-table atoms: time-to-sample ("stts"), sample-to-chunk ("stsc"), sample sizes
// ("stsz"), chunk offsets ("stco" / "co64"), composition offsets ("ctts"), sync samples
// ("stss") and per-sample dependency flags ("sdtp").
//
// Readers walk a table's entries from the first entry's offset and keep only entries that
// lie wholly inside the bytes given; `numberOfEntries` keeps the count from the header.
// Builders set the count to the entries they hold and `size` to the serialised length.
// Serialisers write the count and the size of what they actually write, so a written atom
// is always well formed; for a built atom these are `numberOfEntries` and `size`. The
// methods that store `writeableData` also set `size` to its length.
#include <cstdint>
#include <memory>
#include <vector>

#include "atoms/AtomReader.h"

namespace vr {

// One run of samples of equal duration (8 bytes).
class TimeToSampleEntery {
 public:
  static constexpr uint32_t kSize = 8;

  static std::shared_ptr<TimeToSampleEntery> initTTSEnteryWithBytes(const uint8_t* bytes, uint32_t size) {
    return readAtom<TimeToSampleEntery>(bytes, size);
  }
  // A new entry, complete with `writeableData`.
  static std::shared_ptr<TimeToSampleEntery> initTTSEnteryWithSampleCount(uint32_t sampleCount,
                                                                          uint32_t sampleDuration);
  void readBytes(const uint8_t* bytes, uint32_t size);
  Bytes convertSelfToData() const;

  uint32_t sampleCount = 0;
  uint32_t sampleDuration = 0;  // media time units
  Bytes writeableData;          // set when built
};

// One run of chunks with the same number of samples (12 bytes). The engine makes these
// while it groups found samples into chunks.
class SampleToChunkEntery {
 public:
  static constexpr uint32_t kSize = 12;

  static std::shared_ptr<SampleToChunkEntery> initSTCEnteryWithBytes(const uint8_t* bytes, uint32_t size) {
    return readAtom<SampleToChunkEntery>(bytes, size);
  }
  // A new entry, complete with `writeableData`.
  static std::shared_ptr<SampleToChunkEntery> initWithFirstChunk(uint32_t firstChunk, uint32_t samplePerChunk,
                                                                 uint32_t sampleDescID);
  void readBytes(const uint8_t* bytes, uint32_t size);
  Bytes convertSelfToData() const;
  // Stores a fresh convertSelfToData in `writeableData`.
  void asignWritableData();

  uint32_t firstChunk = 0;       // counted from 1
  uint32_t samplesPerChunk = 0;
  uint32_t sampleDescID = 0;     // 1-based index of the sample description
  Bytes writeableData;           // set when built or re-serialised
};

// One run of samples with the same composition offset (8 bytes). The offset is carried
// bit for bit, so a signed (version 1) offset survives unchanged.
class CompositionOffsetEntery {
 public:
  static constexpr uint32_t kSize = 8;

  // Reads the entry and serialises it at once.
  static std::shared_ptr<CompositionOffsetEntery> initCOEnteryWithBytes(const uint8_t* bytes, uint32_t size);
  void readBytes(const uint8_t* bytes, uint32_t size);
  // Stores the 8 serialised bytes in `writeableData`.
  void createWirteableData();

  uint32_t sampleCount = 0;
  uint32_t compositionOffset = 0;  // media time units, raw bits
  Bytes writeableData;
};

// Time-to-sample table ("stts").
class Stts {
 public:
  static std::shared_ptr<Stts> initSTTSWithBytes(const uint8_t* b, uint32_t n) { return readAtom<Stts>(b, n); }
  // One entry: n samples of duration d each; 24 bytes, complete with `writeableData`.
  static std::shared_ptr<Stts> initSTTSWithSampleCount(uint32_t sampleCount, uint32_t sampleDuration);
  void readBytes(const uint8_t* bytes, uint32_t size);
  // Header, then the entries held below `numberOfEntries`, each from its fields.
  Bytes convertSelfToData() const;
  // The first entry's sample duration, 0 when there is none.
  uint32_t getOneSampleDuration() const;

  uint32_t size = 0;
  uint32_t type = fourCC("stts");
  uint32_t version_Flag = 0;
  uint32_t numberOfEntries = 0;  // as read from the header
  std::vector<std::shared_ptr<TimeToSampleEntery>> entries;
  Bytes writeableData;  // set when built
};

// Sample-to-chunk table ("stsc").
class Stsc {
 public:
  static std::shared_ptr<Stsc> initSTSCWithBytes(const uint8_t* b, uint32_t n) { return readAtom<Stsc>(b, n); }
  // A table holding the given entries (shared, as passed); 16 + 12 x entries bytes,
  // complete with `writeableData`.
  static std::shared_ptr<Stsc> initSTSCWithSampleToChunkTable(
      const std::vector<std::shared_ptr<SampleToChunkEntery>>& table);
  void readBytes(const uint8_t* bytes, uint32_t size);
  // Header, then every entry held (each re-serialised first).
  Bytes convertSelfToData() const;
  // Re-serialises the table for use in a new movie: `numberOfEntries` and `size` are
  // brought in line with the entries held (no change for a well-formed table), then
  // `writeableData` = convertSelfToData.
  void asignWritableData();

  uint32_t size = 0;
  uint32_t type = fourCC("stsc");
  uint32_t version_Flag = 0;
  uint32_t numberOfEntries = 0;  // as read from the header, until re-serialised
  std::vector<std::shared_ptr<SampleToChunkEntery>> SampleToChunkTable;
  Bytes writeableData;  // set when built or re-serialised
};

// Sample-size table ("stsz"): a fixed size for every sample, or one size per sample when
// `sampleSize` is 0.
class Stsz {
 public:
  static std::shared_ptr<Stsz> initSTSZWithBytes(const uint8_t* b, uint32_t n) { return readAtom<Stsz>(b, n); }
  // One size per sample (`sampleSize` 0); 20 + 4 x entries bytes. Empty pointer only when
  // the atom would not fit a 32-bit size.
  static std::shared_ptr<Stsz> initSTSZWithSampleSizeTable(const std::vector<uint32_t>& sampleSizes);
  // n samples of fixed size s, no table; 20 bytes.
  static std::shared_ptr<Stsz> initSTSZWithSampleCount(uint32_t sampleCount, uint32_t sampleSize);
  // Reads the header and the 4-byte entries from offset 20 that fit, whatever
  // `sampleSize` says.
  void readBytes(const uint8_t* bytes, uint32_t size);
  // Header; with `sampleSize` 0 the count written is that of the sizes written.
  Bytes convertSelfToData() const;

  uint32_t size = 0;
  uint32_t type = fourCC("stsz");
  uint32_t version_Flag = 0;
  uint32_t sampleSize = 0;       // fixed size of every sample, 0 when sizes vary
  uint32_t numberOfEntries = 0;  // the sample count, as read from the header
  std::vector<uint32_t> SampleSizeTable;
  Bytes writeableData;  // set when built
};

// Chunk-offset table: holds either a "stco" (32-bit offsets) or a "co64" (64-bit offsets).
// The builder always makes "co64".
class Stco {
 public:
  // isCO64 selects 8-byte offsets ("co64") instead of 4-byte ones ("stco").
  static std::shared_ptr<Stco> initSTCOWithBytes(const uint8_t* bytes, uint32_t size, bool isCO64);
  // A "co64" table of the given offsets; 16 + 8 x entries bytes. Empty pointer only when
  // the atom would not fit a 32-bit size.
  static std::shared_ptr<Stco> initWithChunkOffsetTable(const std::vector<uint64_t>& offsets);
  void readBytes(const uint8_t* bytes, uint32_t size, bool isCO64);
  // Header, then every offset: 8 bytes each for "co64", 4 bytes each for "stco"; the type
  // written follows the width.
  Bytes convertSelfToData() const;

  uint32_t size = 0;
  uint32_t type = fourCC("co64");
  uint32_t version_Flag = 0;
  uint32_t numberOfEntries = 0;  // as read from the header
  bool isCO64 = true;            // 64-bit offsets ("co64") or 32-bit ones ("stco")
  std::vector<uint64_t> chunkOffsetTable;  // absolute file positions
  Bytes writeableData;  // set when built
};

// Composition-offset table ("ctts"). A table read from a file is serialised at once and
// can be written into a new movie unchanged.
class Ctts {
 public:
  // Reads the table and serialises it. `size` is then the serialised length, which is the
  // size field read unless the count or size in the file disagree with the entries.
  static std::shared_ptr<Ctts> initCTTSWithBytes(const uint8_t* bytes, uint32_t size);
  void readBytes(const uint8_t* bytes, uint32_t size);
  // Stores header, count of entries held and every entry's 8 bytes in `writeableData`;
  // `size` becomes its length.
  void createWiteableData();

  uint32_t size = 0;
  uint32_t type = fourCC("ctts");
  uint32_t version_Flag = 0;
  uint32_t numberOfEntries = 0;  // as read from the header
  std::vector<std::shared_ptr<CompositionOffsetEntery>> compositionOffsetTable;
  Bytes writeableData;
};

// Sync-sample table ("stss"): sample numbers, counted from 1, of the key frames.
class Stss {
 public:
  static std::shared_ptr<Stss> initSTSSWithBytes(const uint8_t* b, uint32_t n) { return readAtom<Stss>(b, n); }
  void readBytes(const uint8_t* bytes, uint32_t size);
  // Stores header, count of entries held and every entry in `writeableData`; `size`
  // becomes its length.
  void createWriteableData();

  uint32_t size = 0;
  uint32_t type = fourCC("stss");
  uint32_t version_Flag = 0;
  uint32_t numberOfEntries = 0;  // as read from the header
  std::vector<uint32_t> syncSampleTable;
  Bytes writeableData;  // set when built
};

// Per-sample dependency flags ("sdtp"): one byte per sample after the 12-byte header;
// the sample count is size - 12.
class Sdtp {
 public:
  static std::shared_ptr<Sdtp> initSDTPWithBytes(const uint8_t* b, uint32_t n) { return readAtom<Sdtp>(b, n); }
  // Reads the header and every byte from offset 12 up to `size` and the bytes given.
  void readBytes(const uint8_t* bytes, uint32_t size);

  uint32_t size = 0;
  uint32_t type = fourCC("sdtp");
  uint32_t versionFlag = 0;
  Bytes Data;  // one flag byte per sample
};

}  // namespace vr
