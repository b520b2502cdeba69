#pragma once
// The engine's model of one movie file: its path, the top-level atoms found in it and the
// values a repair needs from the movie index, each read through the movie atom. Setting the
// movie atom refreshes the track decoders and the codec identifiers.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "atoms/AtomFraming.h"
#include "atoms/Containers.h"
#include "atoms/MovieBuilder.h"

namespace vr {

// File roles; recorded, not consulted.
inline constexpr uint64_t kFileTypeReference = 1;
inline constexpr uint64_t kFileTypeCorrupted = 2;
inline constexpr uint64_t kFileTypeRepaired = 3;

class File {
 public:
  using Decoder = decltype(std::declval<Moov&>().getTrackDecoderWith(kMediaKindVideo));

  static std::shared_ptr<File> initWithFileType(uint64_t fileType, const std::string& filePath);
  // Tolerant windowed scan of the top-level atoms of the file at path; never fails: a file
  // without a usable movie atom yields a model without one.
  static std::shared_ptr<File> parseFileAtPath(const std::string& path);
  // True when the candidate movie atom at bytes starts with a plausible first child
  // ("mvhd", "uuid", "free", "udta" or "trak" at offset 12 or 20). `available` bounds the read.
  static bool validMoovInnerTagInBytes(const uint8_t* bytes, size_t available);

  // Setting the movie atom refreshes videoDecoder, audioDecoder, videoCodec and audioCodec.
  void setMoov(std::shared_ptr<Moov> moov);
  const std::shared_ptr<Moov>& moov() const { return moov_; }

  double videoFPS() const;
  double audioFPS() const;
  uint32_t videoTrackTimeScale() const;
  uint32_t audioTrackTimeScale() const;
  uint32_t AVCOneNaluSizeLength() const;
  std::shared_ptr<vr::SPS> SPS() const;
  std::shared_ptr<vr::PPS> PPS() const;
  std::shared_ptr<vr::VPS_265> VPS() const;
  // H.265 references answer these instead of SPS() and PPS().
  std::shared_ptr<vr::SPS_265> SPS265() const;
  std::shared_ptr<vr::PPS_265> PPS265() const;
  std::shared_ptr<DecoderSpecifiInfoWrapper> decoderSpecificInfo() const;
  uint64_t numberOfTracks() const;
  uint32_t getSampleSkip() const;
  // "h:m:s" of the movie duration; "Missing" without a movie atom, "0:0:0" without a video
  // time scale.
  std::string durationOfFile() const;
  // The repaired movie's index built from this file's movie atom and the two requests.
  std::shared_ptr<Moov> createMoovHeaderWithVideoRequest(const std::shared_ptr<AtomCreationRequest>& video,
                                                         const std::shared_ptr<AtomCreationRequest>& audio) const;
  // Appends the movie atom at the end of the handle's file; returns the bytes written.
  uint64_t writeToFileHandle(FileHandle& handle) const;

  std::shared_ptr<Mdat> mdat;
  std::shared_ptr<Ftyp> ftyp;
  std::shared_ptr<Meta> meta;
  std::shared_ptr<Udta> udta;
  std::string filePath;
  std::string manufacture;
  std::string device;
  uint64_t fileType = 0;
  Decoder videoDecoder{};
  Decoder audioDecoder{};
  uint64_t videoCodec = 0;
  uint64_t audioCodec = 0;
  std::vector<std::string> moovRefusals;  // why candidate movie atoms were refused, in file order

 private:
  void loadDecoders();
  void getVideoCoderFormat();
  void getAudioCoderFormat();

  std::shared_ptr<Moov> moov_;
};

// "h:m:s" without leading zeros (65 seconds read 0:1:5).
std::string formatDuration(uint64_t seconds);

// One top-level atom: where it starts, its size (from the 64-bit field when the size field
// is 1; 0 means "up to the end of the file"), type and header length, and whether it lies
// wholly inside the file.
struct TopLevelAtom {
  uint64_t pos = 0;
  uint64_t size = 0;
  uint32_t type = 0;
  uint64_t header = 8;
  bool fits = false;
};
// Visits the top-level atoms one after another from the first byte, at most `maxAtoms`,
// while `visit` returns true and up to the first whose size does not fit the file (which
// is visited too). Returns where the walk stopped: the position of the atom it stopped at,
// or behind the last one.
uint64_t walkTopLevelAtoms(FileHandle& file, uint64_t fileSize, const std::function<bool(const TopLevelAtom&)>& visit,
                           int maxAtoms);

}  // namespace vr
