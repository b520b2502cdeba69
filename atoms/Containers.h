#pragma once
// Container atoms of a movie index: the movie ("moov"), its tracks ("trak"), their media
// ("mdia"), media information ("minf"), sample tables ("stbl"), data information ("dinf")
// and edit atoms ("edts"). The atoms that name the camera are in UserData.h.
//
// Containers find their children with the byte-sliding child scan of AtomFraming.h, each
// through one table of the child types it builds or steps over. A container that lacks a
// required child refuses itself, and the refusal travels up to the movie atom: stbl -> minf
// -> mdia -> trak -> moov; each refusing factory can say why ("track 2: minf has no stbl").
// The builders of the repaired movie's index are declared here, implemented in MovieBuilder.cpp.
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "atoms/AtomFraming.h"
#include "atoms/CodecNumbers.h"
#include "atoms/HeaderAtoms.h"
#include "atoms/SampleDescriptions.h"
#include "atoms/SampleTableAtoms.h"
#include "atoms/UserData.h"
#include "common/ByteOrder.h"

namespace vr {

class AtomCreationRequest;
class FileHandle;
class SPS;
class PPS;
class VPS_265;
class SPS_265;
class PPS_265;
class DecoderSpecifiInfoWrapper;

// The object a track hands out as its decoder: the first entry of its sample description.
using TrackDecoder = std::shared_ptr<SampleDescriptionEntery>;

// Data information ("dinf"): one data reference.
class Dinf {
 public:
  static std::shared_ptr<Dinf> initDINFWithBytes(const uint8_t* b, uint32_t n) { return readAtom<Dinf>(b, n); }
  void readBytes(const uint8_t* bytes, uint32_t size);
  // A data information atom holding one reference of the given type with flags 1
  // (media data in the same file). "alis" gives the usual 36-byte atom.
  static std::shared_ptr<Dinf> initDINFWithDrefEnteryType(uint32_t entryType);
  Bytes convertSelfToData() const;

  uint32_t size = 0;
  uint32_t type = 0;            // "dinf"
  std::shared_ptr<Dref> dref;   // the data reference, or empty
  Bytes writeableData;          // serialised form once built
};

// Edit atom ("edts"): one edit list.
class Edts {
 public:
  static std::shared_ptr<Edts> initEDTSWithBytes(const uint8_t* b, uint32_t n) { return readAtom<Edts>(b, n); }
  void readBytes(const uint8_t* bytes, uint32_t size);
  // An edit atom with one edit: duration d (movie time), media time m, rate 1. 36 bytes.
  static std::shared_ptr<Edts> initWDTSWithDuration(uint32_t duration, uint32_t delta);
  void createWriteableData();

  uint32_t size = 0;
  uint32_t type = 0;            // "edts"
  std::shared_ptr<Elst> elst;   // the edit list, or empty
  Bytes writeableData;          // serialised form once built
};

// Sample table ("stbl"). Refuses itself unless every byte belongs to a child it consumed.
class Stbl {
 public:
  // `why`, when given, receives the reason of a refusal.
  static std::shared_ptr<Stbl> initSTBLWithBytes(const uint8_t* bytes, uint32_t size, std::string* why = nullptr);
  void readBytes(const uint8_t* bytes, uint32_t size);

  std::string getResolution() const;   // sample description's "WxH", empty without one
  uint32_t getSampleSize() const;      // fixed size of "stsz", 0 when sizes vary or no stsz
  uint32_t getSamplePerChunk() const;  // samples per chunk of the first "stsc" run, or 0

  // The repaired movie's sample table for the samples of a request (MovieBuilder.cpp).
  std::shared_ptr<Stbl> createStblWithRequest(const AtomCreationRequest* request) const;
  // Header, stsd bytes, stss, ctts, stts, stsc, stsz, co64/stco.
  Bytes convertSelfToData() const;
  // For a table built from its children: stores convertSelfToData in `writeableData` and
  // its length in `size`. The same for the other containers.
  void createWriteableData();

  uint32_t size = 0;
  uint32_t type = fourCC("stbl");
  std::shared_ptr<Stsd> stsd;      // sample description
  std::shared_ptr<Stts> stts;      // time to sample
  std::shared_ptr<Stsc> stsc;      // sample to chunk
  std::shared_ptr<Stsz> stsz;      // sample sizes
  std::shared_ptr<Stss> stss;      // sync samples
  std::shared_ptr<Ctts> ctts;      // composition offsets
  std::shared_ptr<Sdtp> sdtp;      // sample dependency flags
  std::shared_ptr<Stco> stco;      // chunk offsets, "stco" or "co64"
  std::shared_ptr<Udta> udta;      // user data found inside the table
  uint32_t testSize = 0;           // bytes of all children consumed while reading
  uint64_t strayOffset = 0;        // first byte that belongs to no child consumed, or 0
  Bytes writeableData;             // serialised form once built
};

// Media information ("minf").
class Minf {
 public:
  // The media-type header: video, sound or base media header, or none.
  using MediaHeader = std::variant<std::monostate, std::shared_ptr<Vmhd>, std::shared_ptr<Smhd>, std::shared_ptr<Gmhd>>;

  static std::shared_ptr<Minf> initMINFWithBytes(const uint8_t* bytes, uint32_t size, std::string* why = nullptr);
  void readBytes(const uint8_t* bytes, uint32_t size);
  std::string getResolution() const;

  // The repaired movie's media information for a request of type 2 (video) or 1 (sound).
  std::shared_ptr<Minf> createMinfWithRequest(const AtomCreationRequest* request, uint64_t requestType) const;
  // Header, media-type header (vmhd/smhd only), handler, dinf, stbl.
  Bytes convertSelfToData() const;
  void createWriteableData();

  uint32_t size = 0;
  uint32_t type = fourCC("minf");
  MediaHeader mediaHeader;         // vmhd, smhd or gmhd
  uint64_t minfMediaType = 0;      // 1 vmhd, 2 smhd, all bits set for gmhd, 0 none
  std::shared_ptr<Hdlr> hdlr;      // data handler
  std::shared_ptr<Dinf> dinf;      // data information
  std::shared_ptr<Stbl> stbl;      // sample table (required)
  std::shared_ptr<Udta> udta;      // user data of this atom or its sample table
  std::string refusal;             // why the sample table was refused, while reading
  Bytes writeableData;             // serialised form once built
};

// Media ("mdia").
class Mdia {
 public:
  static std::shared_ptr<Mdia> initMDIAWithBytes(const uint8_t* bytes, uint32_t size, std::string* why = nullptr);
  void readBytes(const uint8_t* bytes, uint32_t size);
  // 1 for a "vide" handler, 2 for "soun", else the media information's kind (all bits set
  // when there is none).
  uint64_t getMediaType() const;
  uint32_t getTimeScale() const;   // media header's time scale, 0 without one
  std::string getResolution() const;

  // The repaired movie's media for a request of type 2 (video) or 1 (sound).
  std::shared_ptr<Mdia> createMediaWithRequest(const AtomCreationRequest* request, uint64_t requestType) const;
  // Header, mdhd, hdlr, minf.
  Bytes convertSelfToData() const;
  void createWriteableData();

  uint32_t size = 0;
  uint32_t type = fourCC("mdia");
  std::shared_ptr<Mdhd> mdhd;      // media header
  std::shared_ptr<Hdlr> hdlr;      // media handler
  std::shared_ptr<Minf> minf;      // media information (required)
  std::shared_ptr<Udta> udta;      // user data passed up from the media information
  std::string refusal;             // why the media information was refused, while reading
  uint64_t mediaType = 0;          // kind, as getMediaType
  double mdiaFPS = 0;              // samples per second of media time (0 when duration is 0)
  Bytes writeableData;             // serialised form once built
};

// Track ("trak").
class Trak {
 public:
  static std::shared_ptr<Trak> initTRAKWithBytes(const uint8_t* bytes, uint32_t size, std::string* why = nullptr);
  void readBytes(const uint8_t* bytes, uint32_t size);
  // Fills the derived values below from the subtree.
  void initProperties();

  uint64_t getTrackType() const;     // kind of the media: 1, 2 or all bits set
  uint32_t getTimeScale() const;     // media time scale
  uint32_t getSampleSize() const;    // fixed sample size of the stsz, 0 when sizes vary
  uint32_t getSamplePerChunk() const;// samples per chunk of the first stsc run
  std::string getResolution() const; // "WxH" of the sample description, empty without one
  Stsd* sampleDescription() const;   // the track's stsd, or null

  // The repaired movie's counterpart of this track for a request (MovieBuilder.cpp).
  std::shared_ptr<Trak> createTrackWithRequest(const AtomCreationRequest* request) const;
  // Sets the track duration (movie time scale), adds an edit atom to a video track and
  // re-serialises the track.
  void setDuration(uint32_t duration);
  // Header, tkhd, edts, mdia.
  Bytes convertSelfToData() const;
  void createWriteableData();

  uint32_t size = 0;
  uint32_t type = fourCC("trak");
  std::shared_ptr<Tkhd> tkhd;        // track header
  std::shared_ptr<Edts> edts;        // edit atom, or empty
  std::shared_ptr<Mdia> mdia;        // media (required)
  std::shared_ptr<Udta> udta;        // user data of the track or passed up from its media
  std::string refusal;               // why the media was refused, while reading
  Bytes writeableData;               // serialised form once built

  // Derived by initProperties; 0 or empty when a link on the way is missing.
  uint64_t trackType = 0;            // 1 video, 2 sound, all bits set otherwise
  uint64_t trackCodecFormat = 0;     // 1001 avc1, 1002 mp4a, 1003 sowt, 1004 twos, 1005 hvc1
  TrackDecoder trackDecoder;         // first sample entry of the sample description
  double trakFPS = 0;                // samples per second (0 when the media duration is 0)
  uint32_t trakMediaTimeScale = 0;   // media header time scale
  uint32_t trakMediaDuration = 0;    // media header duration
  uint32_t sampleCount = 0;          // stsz entry count from its header
  uint32_t oneSampleDuration = 0;    // first stts entry's duration
  uint32_t trackDuration = 0;        // track header duration
};

// Movie ("moov"): movie header, tracks in file order, user data.
class Moov {
 public:
  // Parses one whole movie atom; refuses it when the data is absent or any track refuses.
  static std::shared_ptr<Moov> initMOOVWithData(const uint8_t* bytes, uint32_t size, std::string* why = nullptr);
  // Reader behind initMOOVWithData; false when a track refused itself.
  bool readData(const uint8_t* bytes, uint32_t size);

  // ---- Queries of the reference movie (the video track is the first of kind 1, the sound
  // track the first of kind 2) ----
  std::shared_ptr<Trak> getTrakWithType(uint64_t kind) const;
  uint64_t getVideoCodecFormat() const;   // 1001 H.264, 1002 H.265, else 0
  uint64_t getAudioCodecFormat() const;   // 1002 AAC, 1003 sowt, 1004 twos, else 0
  TrackDecoder getTrackDecoderWith(uint64_t kind) const;
  double videoTrackFPS() const;
  double audioTrackFPS() const;
  uint32_t videoTrackTimeScale() const;
  uint32_t audioTrackTimeScale() const;
  uint32_t getOneSampleDurationOfTackType(uint64_t kind) const;
  uint32_t getAVCOneNALUSizeLength() const;  // NAL length-prefix size, 0 unless avc1/hvc1
  // Parameter sets of the video sample description. An avc1 track answers SPS and PPS; an
  // hvc1 track answers VPS, SPS265 and PPS265. Each is empty when absent.
  std::shared_ptr<vr::SPS> SPS() const;
  std::shared_ptr<vr::PPS> PPS() const;
  std::shared_ptr<vr::VPS_265> VPS() const;   // hvc1 tracks only
  std::shared_ptr<vr::SPS_265> SPS265() const;
  std::shared_ptr<vr::PPS_265> PPS265() const;
  std::string getResolution() const;       // "WxH" of the video track, "Missing" without one
  std::shared_ptr<DecoderSpecifiInfoWrapper> decodeSpecificInfo() const;  // AAC only
  uint32_t duration() const;               // movie header duration
  uint32_t getSampleSkip() const;          // bytes per chunk cycle of tracks 3 and later
  uint64_t numberOfTracks() const { return tracks.size(); }

  // ---- Building and writing the repaired movie (MovieBuilder.cpp) ----
  // A new movie atom with one new track per video or sound track of this (reference)
  // movie; empty when this movie has no tracks or no movie header. Null requests count as
  // empty ones.
  std::shared_ptr<Moov> createMoovWithVideoRequest(const AtomCreationRequest* video,
                                                   const AtomCreationRequest* audio);
  // Same as createMoovWithVideoRequest, under the name the file model forwards.
  std::shared_ptr<Moov> createMoovHeaderWithVideoRequest(const AtomCreationRequest* video,
                                                         const AtomCreationRequest* audio) {
    return createMoovWithVideoRequest(video, audio);
  }
  // Appends the movie atom (header, movie header, tracks; never the user data) at the end
  // of the handle's file (the caller forces the file to disk). Returns the bytes written, which
  // equal `size` unless a write failed; the count is also kept in bytesWritten.
  uint64_t writeToFileHandle(FileHandle& handle);
  // The whole serialised movie atom, as writeToFileHandle writes it.
  Bytes convertSelfToData() const;
  // For a movie built from its children: `size` from the movie header and the tracks held.
  void setSizeFromChildren();

  uint32_t size = 0;
  uint32_t type = fourCC("moov");
  std::shared_ptr<Mvhd> mvhd;                // movie header
  std::shared_ptr<Udta> udta;                // user data of the movie or passed up from a track
  std::vector<std::shared_ptr<Trak>> tracks; // tracks in file order
  uint64_t bytesWritten = 0;                 // result of the last writeToFileHandle
  std::string refusal;                       // why a track was refused ("track 2: ..."), or empty
};

}  // namespace vr
