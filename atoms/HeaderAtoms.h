#pragma once
// Fixed-layout header atoms of the movie tree: movie, track and media headers, the
// handler, the video / sound / base media headers, the data reference and the edit list.
//
// Byte factories copy what they keep and accept any bytes: a field that lies past the end
// of the bytes given reads as 0, and nothing outside them is read. Every integer is
// big-endian in the file and in the serialised form. Fixed-point values (rates, volumes,
// matrix elements, dimensions) are held as their raw integer bits.
//
// The movie, track and media headers are read in both layouts (version 0 with 32-bit
// times and durations, version 1 with 64-bit ones). They are always written in the
// version 0 layout, so after reading `size` and `version_Flag` describe that form
// (108, 92 or 32 bytes, version byte 0, flags kept); `sizeInFile` and `versionInFile`
// record what the file said. A 64-bit value above 32 bits is held as 0xFFFFFFFF.
//
// Serialisers always write the size field as the length of the bytes they produce, so a
// written atom is well formed even when the atom it was read from was not; for a built
// atom (and a well-formed one read from a file) that length is `size`.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "atoms/AtomReader.h"

namespace vr {

// Movie header ("mvhd"), 108 bytes in the version 0 layout.
class Mvhd {
 public:
  static constexpr uint32_t kVersion0Size = 108;

  // Reads a movie header; never refuses.
  static std::shared_ptr<Mvhd> initMVHDWithBytes(const uint8_t* b, uint32_t n) { return readAtom<Mvhd>(b, n); }
  // A new movie header: times 0, rate and volume 1, the identity matrix. Complete with
  // `writeableData`.
  static std::shared_ptr<Mvhd> initMVHDWithTimeScale(uint32_t timeScale, uint32_t duration, uint32_t nextTrackID);
  // Fills the fields from one whole atom.
  void readBytes(const uint8_t* bytes, uint32_t size);
  // The version 0 serialised form.
  Bytes convertSelfToData() const;
  // Sets `duration` and rebuilds `writeableData`; set the duration only through this.
  void setDuration(uint32_t newDuration);

  uint32_t size = kVersion0Size;  // size of the serialised (version 0) form
  uint32_t type = fourCC("mvhd");  // four-character code
  uint32_t version_Flag = 0;       // version byte (always 0 after reading) and 24-bit flags
  uint32_t creationTime = 0;       // seconds since 1904
  uint32_t modificationTime = 0;   // seconds since 1904
  uint32_t timescale = 0;          // movie time units per second
  uint32_t duration = 0;           // in movie time units
  uint32_t prefferedRate = 0;      // 16.16 fixed point
  uint16_t preferredVolume = 0;    // 8.8 fixed point
  uint16_t reserved1 = 0;
  uint64_t reserved2 = 0;
  uint32_t matrix_A = 0, matrix_B = 0, matrix_U = 0;  // display matrix, file order
  uint32_t matrix_C = 0, matrix_D = 0, matrix_V = 0;
  uint32_t matrix_X = 0, matrix_Y = 0, matrix_W = 0;
  uint32_t previewTime = 0;
  uint32_t previewDuration = 0;
  uint32_t posterTime = 0;
  uint32_t selectionTime = 0;
  uint32_t selectionDuration = 0;
  uint32_t currentTime = 0;
  uint32_t nextTrackID = 0;

  uint32_t sizeInFile = 0;    // the size field as read (the atom's extent in the file)
  uint8_t versionInFile = 0;  // the version byte as read (0 or 1 are understood)
  Bytes writeableData;        // serialised form; empty until the duration is first set
};

// Track header ("tkhd"), 92 bytes in the version 0 layout.
class Tkhd {
 public:
  static constexpr uint32_t kVersion0Size = 92;

  // Reads a track header whatever its type code; never refuses.
  static std::shared_ptr<Tkhd> initTKHDWithBytes(const uint8_t* b, uint32_t n) { return readAtom<Tkhd>(b, n); }
  // A new header of a track that is enabled and used in the movie, its preview and its
  // poster: times 0, the identity matrix, volume 1 for a sound track (0 for video) and the
  // picture size in whole pixels. Complete with `writeableData`.
  static std::shared_ptr<Tkhd> initTKHDWithTrackID(uint32_t trackID, uint32_t duration, bool sound, uint32_t width,
                                                   uint32_t height);
  void readBytes(const uint8_t* bytes, uint32_t size);
  // The version 0 serialised form.
  Bytes convertSelfToData() const;
  // Sets `duration` and rebuilds `writeableData`; set the duration only through this.
  void setDuration(uint32_t newDuration);

  uint32_t size = kVersion0Size;   // size of the serialised (version 0) form
  uint32_t type = fourCC("tkhd");  // four-character code (as read)
  uint32_t version_Flag = 0;       // version byte (always 0 after reading) and 24-bit flags
  uint32_t creationTime = 0;
  uint32_t modificationTime = 0;
  uint32_t trackID = 0;
  uint32_t reserved1 = 0;
  uint32_t duration = 0;  // in movie time units
  uint64_t reserved2 = 0;
  uint16_t layer = 0;
  uint16_t alternateGroup = 0;
  uint16_t volume = 0;  // 8.8 fixed point
  uint16_t resreved3 = 0;
  uint32_t matrix_A = 0, matrix_B = 0, matrix_U = 0;  // display matrix, file order
  uint32_t matrix_C = 0, matrix_D = 0, matrix_V = 0;
  uint32_t matrix_X = 0, matrix_Y = 0, matrix_W = 0;
  uint32_t trackWidth = 0;   // 16.16 fixed point
  uint32_t trackHeight = 0;  // 16.16 fixed point

  uint32_t sizeInFile = 0;    // the size field as read (the atom's extent in the file)
  uint8_t versionInFile = 0;  // the version byte as read
  Bytes writeableData;        // serialised form; empty until the duration is first set
};

// Media header ("mdhd"), 32 bytes in the version 0 layout.
class Mdhd {
 public:
  static constexpr uint32_t kVersion0Size = 32;

  static std::shared_ptr<Mdhd> initMDHDWithBytes(const uint8_t* b, uint32_t n) { return readAtom<Mdhd>(b, n); }
  // A new media header: times 0, the given duration and time scale, and the low 16 bits
  // of language and quality. Complete with `writeableData`.
  static std::shared_ptr<Mdhd> initMDHDWithDuration(uint32_t duration, uint32_t timeScale, uint32_t language,
                                                    uint32_t quality);
  void readBytes(const uint8_t* bytes, uint32_t size);
  Bytes convertSelfToData() const;

  uint32_t size = kVersion0Size;   // size of the serialised (version 0) form
  uint32_t type = fourCC("mdhd");
  uint32_t version_Flag = 0;
  uint32_t creationTime = 0;
  uint32_t modificationTime = 0;
  uint32_t timescale = 0;  // media time units per second
  uint32_t duration = 0;   // in media time units
  uint16_t language = 0;   // packed language code, carried as is
  uint16_t quality = 0;

  uint32_t sizeInFile = 0;    // the size field as read
  uint8_t versionInFile = 0;  // the version byte as read
  Bytes writeableData;        // set when built
};

// Handler ("hdlr"). A built handler is 34 bytes and ends with the name length byte and
// one zero byte; a name given to the builder is kept but not written.
class Hdlr {
 public:
  static constexpr uint32_t kBuiltSize = 34;

  static std::shared_ptr<Hdlr> initHDLRWithBytes(const uint8_t* b, uint32_t n) { return readAtom<Hdlr>(b, n); }
  // A new handler: manufacturer, flags and mask 0, name length = low 8 bits of
  // handlerNameSize, name byte 0.
  static std::shared_ptr<Hdlr> initHDLRWithComponentType(uint32_t componentType, uint32_t componentSubtype,
                                                         uint32_t handlerNameSize,
                                                         const std::string& handlerName = std::string());
  void readBytes(const uint8_t* bytes, uint32_t size);
  Bytes convertSelfToData() const;

  uint32_t size = kBuiltSize;
  uint32_t type = fourCC("hdlr");
  uint32_t version_Flag = 0;
  uint32_t componentType = 0;     // "mhlr" for media handlers, "dhlr" data handlers or 0
  uint32_t componentSubtype = 0;  // "vide", "soun", "dhlr", ...
  uint32_t componentManufacturer = 0;
  uint32_t componentFlags = 0;
  uint32_t componentFlagsMask = 0;
  uint8_t nameStringSize = 0;  // length byte of the counted name
  std::string handlerName;     // the counted name when it fits, else empty
  uint8_t name_CString = 0;    // the byte after the length byte when the length is 0
  Bytes writeableData;         // set when built
};

// Video media header ("vmhd"), 20 bytes; the default has flags 1 and everything else 0.
class Vmhd {
 public:
  static constexpr uint32_t kSize = 20;

  static std::shared_ptr<Vmhd> initVMHDWithBytes(const uint8_t* b, uint32_t n) { return readAtom<Vmhd>(b, n); }
  // The default video media header, complete with `writeableData`.
  static std::shared_ptr<Vmhd> init() { return builtDefault<Vmhd>(); }
  void readBytes(const uint8_t* bytes, uint32_t size);
  Bytes convertSelfToData() const;

  uint32_t size = kSize;
  uint32_t type = fourCC("vmhd");
  uint32_t version_Flag = 1;
  uint16_t graphicsMode = 0;
  uint16_t opColor_R = 0;
  uint16_t opColor_G = 0;
  uint16_t opColor_B = 0;
  Bytes writeableData;  // set when built
};

// Sound media header ("smhd"), 16 bytes; the default is all zeros after the type.
class Smhd {
 public:
  static constexpr uint32_t kSize = 16;

  static std::shared_ptr<Smhd> initSMHDWithBytes(const uint8_t* b, uint32_t n) { return readAtom<Smhd>(b, n); }
  // The default sound media header, complete with `writeableData`.
  static std::shared_ptr<Smhd> init() { return builtDefault<Smhd>(); }
  void readBytes(const uint8_t* bytes, uint32_t size);
  Bytes convertSelfToData() const;

  uint32_t size = kSize;
  uint32_t type = fourCC("smhd");
  uint32_t version_Flag = 0;
  uint16_t balance = 0;
  uint16_t reserved = 0;
  Bytes writeableData;  // set when built
};

// Base media header ("gmhd"), read only: just its 8-byte header.
class Gmhd {
 public:
  static std::shared_ptr<Gmhd> initGMHDWithBytes(const uint8_t* b, uint32_t n) { return readAtom<Gmhd>(b, n); }
  void readBytes(const uint8_t* bytes, uint32_t size);

  uint32_t size = 0;
  uint32_t type = 0;
};

// One data reference: a small atom whose type is the reference kind ("alis", "url ", ...)
// and whose flag 1 means the media data is in the movie's own file. 12 bytes when built.
class DrefEntry {
 public:
  static constexpr uint32_t kBuiltSize = 12;

  // Reads size, type and flags; bytes after offset 12 are not kept.
  static std::shared_ptr<DrefEntry> initDrefEnteryWithBytes(const uint8_t* bytes, uint32_t size) {
    return readAtom<DrefEntry>(bytes, size);
  }
  // A new entry of the given kind with flags 1, complete with `writeableData`.
  static std::shared_ptr<DrefEntry> initWithType(uint32_t type);
  void readBytes(const uint8_t* bytes, uint32_t size);
  // The 12-byte form (size, type, flags).
  Bytes convertSelfToData() const;

  uint32_t size = kBuiltSize;
  uint32_t type = 0;
  uint32_t version_Flags = 1;
  Bytes writeableData;  // set when built
};

// Data reference ("dref"): a count and a list of entries. 28 bytes when built.
class Dref {
 public:
  static std::shared_ptr<Dref> initDREFWithBytes(const uint8_t* b, uint32_t n) { return readAtom<Dref>(b, n); }
  // A new data reference holding one entry of the given kind.
  static std::shared_ptr<Dref> initDREFWithDrefEnteryType(uint32_t type);
  // Reads the header and the entries that fit; an entry whose size is below 12 or runs
  // past the atom ends the list.
  void readBytes(const uint8_t* bytes, uint32_t size);
  // Header, count of entries held, then each entry's 12-byte form.
  Bytes convertSelfToData() const;

  uint32_t size = 0;
  uint32_t type = fourCC("dref");
  uint32_t version_Flag = 0;
  uint32_t numberOfEntries = 0;  // as read from the header (entries held may be fewer)
  std::vector<std::shared_ptr<DrefEntry>> entries;
  Bytes writeableData;  // set when built
};

// One edit of an edit list: 12 bytes (track duration, media time, 16.16 media rate).
// `mediaRate` holds the integer part of the rate, whether read or built; the rate word
// is written as mediaRate << 16.
class EditListEntery {
 public:
  static constexpr uint32_t kSize = 12;

  static std::shared_ptr<EditListEntery> initELEnteryWithBytes(const uint8_t* bytes, uint32_t size) {
    return readAtom<EditListEntery>(bytes, size);
  }
  // A new edit with the rate's low 16 bits as its integer part; complete with `writeableData`.
  static std::shared_ptr<EditListEntery> initWithTrackDuration(uint32_t trackDuration, uint32_t mediaTime,
                                                               uint32_t mediaRate);
  void readBytes(const uint8_t* bytes, uint32_t size);
  // Stores the 12 serialised bytes in `writeableData`.
  void createWriteableData();

  uint32_t trackDuration = 0;  // the edit's length in movie time units
  uint32_t mediaTime = 0;      // its start in media time units
  uint32_t mediaRate = 0;      // integer part of the 16.16 rate
  Bytes writeableData;         // set when built
};

// Edit list ("elst"): a count and 12-byte edits. 16 + 12 x edits bytes when built.
class Elst {
 public:
  static std::shared_ptr<Elst> initELSTWithBytes(const uint8_t* b, uint32_t n) { return readAtom<Elst>(b, n); }
  // A new edit list holding the given edits (shared, as passed).
  static std::shared_ptr<Elst> initELSTWithEditListTable(const std::vector<std::shared_ptr<EditListEntery>>& table);
  void readBytes(const uint8_t* bytes, uint32_t size);
  // Stores the serialised atom in `writeableData`: header, the count of edits held and
  // every edit (each re-serialised first); `size` becomes its length.
  void creteWriteableData();

  uint32_t size = 0;
  uint32_t type = fourCC("elst");
  uint32_t version_Flag = 0;
  uint32_t numberOfEntries = 0;  // as read from the header (edits held may be fewer)
  std::vector<std::shared_ptr<EditListEntery>> editListTable;
  Bytes writeableData;  // set when built
};

}  // namespace vr
