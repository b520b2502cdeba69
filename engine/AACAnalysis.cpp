// AAC frame analysis. The bytes between two video runs hold raw AAC frames without headers
// or index; their boundaries are found by decoding. A decoder set up from the reference's
// AudioSpecificConfig is fed the stretch from its first byte: a successful decode tells
// how many bytes the frame used, which is the frame's size and the step to the next one.
// The frames of a stretch tile it; the first byte where none decodes ends its audio.
#include <neaacdec.h>

#include <algorithm>

#include "engine/AacFrameReader.h"
#include "engine/ByteWindow.h"
#include "engine/File.h"
#include "engine/RepairFile.h"

namespace vr {

namespace {

// FAAD2's "Unexpected channel configuration change".
constexpr unsigned char kErrorChannelConfigurationChange = 21;

// Owns one decoder handle.
class Decoder {
 public:
  Decoder() : handle_(NeAACDecOpen()) {}
  ~Decoder() { reset(nullptr); }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  NeAACDecHandle get() const { return handle_; }
  void reset(NeAACDecHandle h) {
    if (handle_) NeAACDecClose(handle_);
    handle_ = h;
  }
  NeAACDecHandle release() {
    NeAACDecHandle h = handle_;
    handle_ = nullptr;
    return h;
  }

 private:
  NeAACDecHandle handle_;
};

// A decoder configured like `current`, initialised without header bytes; nullptr when
// that initialisation fails. FAAD2 releases that refuse to initialise without header
// bytes get the reference's AudioSpecificConfig instead, so the replacement can happen.
NeAACDecHandle replacementDecoder(NeAACDecHandle current, unsigned char* asc) {
  Decoder fresh;
  if (!fresh.get()) return nullptr;
  NeAACDecConfigurationPtr old = NeAACDecGetCurrentConfiguration(current);
  NeAACDecConfigurationPtr conf = NeAACDecGetCurrentConfiguration(fresh.get());
  if (old && conf) {
    conf->defObjectType = old->defObjectType;
    conf->outputFormat = old->outputFormat;
    if (old->defSampleRate != 0) conf->defSampleRate = old->defSampleRate;
    NeAACDecSetConfiguration(fresh.get(), conf);
  }
  unsigned long sampleRate = 0;
  unsigned char channels = 0;
  if (NeAACDecInit(fresh.get(), nullptr, 0, &sampleRate, &channels) < 0 &&
      NeAACDecInit2(fresh.get(), asc, 2, &sampleRate, &channels) < 0)
    return nullptr;
  return fresh.release();
}

}  // namespace

AacFrameReader::AacFrameReader(const Bytes& config) {
  if (config.empty()) return;
  Decoder decoder;
  if (!decoder.get()) return;
  // Only the first two bytes of the AudioSpecificConfig configure the decoder.
  asc_[0] = config[0];
  asc_[1] = config.size() > 1 ? config[1] : uint8_t(0);
  // Only where frames begin and end matters here, never the sound: samples left as floats
  // spare the decoder their rounding to 16 bits, a sixth of its time.
  if (NeAACDecConfigurationPtr conf = NeAACDecGetCurrentConfiguration(decoder.get())) {
    conf->outputFormat = FAAD_FMT_FLOAT;
    NeAACDecSetConfiguration(decoder.get(), conf);
  }
  unsigned long sampleRate = 0;
  unsigned char channels = 0;
  if (NeAACDecInit2(decoder.get(), asc_, 2, &sampleRate, &channels) < 0) return;
  // Channel configuration of the AudioSpecificConfig: 5 bits object type, 4 bits
  // sampling-frequency index, then 4 bits of channel configuration.
  const unsigned channelConfiguration = ((unsigned(asc_[0]) << 8 | asc_[1]) >> 3) & 0xF;
  zeroNeverStartsAFrame_ = channelConfiguration == 2;
  // Element ids: 0 single channel, 1 channel pair, 4 data, 5 program configuration, 6 fill.
  if (channelConfiguration == 1 || channelConfiguration == 2)
    firstElements_ = uint8_t(1u << (channelConfiguration - 1) | 1u << 4 | 1u << 5 | 1u << 6);
  handle_ = decoder.release();
}

AacFrameReader& AacFrameReader::ofThisThread(const Bytes& config) {
  thread_local std::unique_ptr<AacFrameReader> reader;
  thread_local Bytes readerConfig;
  if (!reader || readerConfig != config) {
    reader = std::make_unique<AacFrameReader>(config);
    readerConfig = config;
  }
  return *reader;
}

AacFrameReader::~AacFrameReader() {
  if (handle_) NeAACDecClose(NeAACDecHandle(handle_));
}

bool AacFrameReader::filler(const uint8_t* bytes, size_t length) const {
  return length > 0 && bytes[0] == 0 && (zeroNeverStartsAFrame_ || length < 2 || bytes[1] == 0);
}

size_t AacFrameReader::frameSize(const uint8_t* bytes, size_t length) {
  if (!handle_ || length == 0 || ((firstElements_ >> (bytes[0] >> 5)) & 1) == 0) return 0;
  // The decoder does not write to its input.
  auto* in = const_cast<uint8_t*>(bytes);
  NeAACDecFrameInfo info{};
  void* output = NeAACDecDecode(NeAACDecHandle(handle_), &info, in, length);
  if (info.error == kErrorChannelConfigurationChange) {
    if (NeAACDecHandle fresh = replacementDecoder(NeAACDecHandle(handle_), asc_)) {
      NeAACDecClose(NeAACDecHandle(handle_));
      handle_ = fresh;
      info = NeAACDecFrameInfo{};
      output = NeAACDecDecode(fresh, &info, in, length);
    }
  }
  if (output == nullptr || info.bytesconsumed == 0 || info.error != 0) return 0;
  return std::min<size_t>(info.bytesconsumed, length);
}

namespace {

// Length of the JPEG image that starts at `x`, read marker by marker up to its end, which
// must lie before `limit`; 0 when the bytes there are no JPEG image.
uint64_t stillImageLength(ByteWindow& window, uint64_t x, uint64_t limit) {
  const uint8_t* b = window.at(x, 4);
  if (b[0] != 0xFF || b[1] != 0xD8 || b[2] != 0xFF) return 0;
  bool entropyCoded = false;
  for (uint64_t p = x + 2; p + 2 <= limit;) {
    if (entropyCoded) {
      // Coded data holds 0xFF only as a stuffed FF 00 or a restart marker; any other
      // marker ends it.
      p = window.find(p, limit, 0xFF);
      if (p + 2 > limit) return 0;
      const uint8_t m = window.at(p + 1, 1)[0];
      if (m == 0x00 || (m >= 0xD0 && m <= 0xD7) || m == 0xFF) {
        p += m == 0xFF ? 1 : 2;
        continue;
      }
      entropyCoded = false;
    }
    b = window.at(p, 4);
    if (b[0] != 0xFF) return 0;
    const uint8_t m = b[1];
    if (m == 0xD9) return p + 2 - x;  // end of image
    if (m == 0xFF || m == 0x01 || (m >= 0xD0 && m <= 0xD7)) {
      p += m == 0xFF ? 1 : 2;  // fill byte, or a marker without a segment
      continue;
    }
    const uint32_t length = uint32_t(b[2]) << 8 | b[3];
    if (m == 0x00 || m == 0xD8 || length < 2) return 0;
    p += 2 + length;
    entropyCoded = m == 0xDA;  // start of scan
  }
  return 0;
}

}  // namespace

size_t RepairFile::furtherSampleAt(const uint8_t* bytes, size_t length, AacFrameReader& reader, int depth) const {
  // Samples of several further tracks may follow each other.
  auto fits = [&](size_t size) {
    return size > 0 && size <= length &&
           (size == length || reader.frameSize(bytes + size, length - size) > 0 ||
            (depth < 3 && furtherSampleAt(bytes + size, length - size, reader, depth + 1) > 0));
  };
  // A text sample: a 16-bit length and the text (tried first: it tells its own size).
  if (furtherSamples.maxText > 0 && length >= 2) {
    const size_t size = 2 + (size_t(bytes[0]) << 8 | bytes[1]);
    if (size <= 2 * furtherSamples.maxText + 64 && fits(size)) return size;
  }
  for (uint32_t size : furtherSamples.sizes)
    if (fits(size)) return size;
  return 0;
}

uint64_t RepairFile::stillImageAt(ByteWindow& window, uint64_t x, uint64_t end) const {
  if (!furtherSamples.stills) return 0;
  return stillImageLength(window, x, std::min(end, x + furtherSamples.reach()));
}

std::optional<SampleList> RepairFile::analyseAACInFileHandle(FileHandle& fileHandle, uint64_t offset, uint64_t size) {
  SampleList frames;
  const auto dsi = healthyFile ? healthyFile->decoderSpecificInfo() : nullptr;
  AacFrameReader& reader = AacFrameReader::ofThisThread(dsi ? dsi->decoderSpecificInfo : Bytes());
  if (!reader.usable() || size == 0) return frames;

  // The stretch is read through a window of bounded size, whatever its length; bytes
  // missing at the end of the file read as zero.
  const uint64_t fileSize = fileHandle.size();
  const size_t capacity = size_t(std::clamp<uint64_t>(size, 4 * kMaxAacFrame, 1 << 20));
  ByteWindow window(fileHandle, fileSize, capacity, kMaxAacFrame);

  // The frames follow each other from the stretch's first byte: filler is stepped over,
  // and where no frame decodes the audio of this stretch ends (what follows is damaged
  // or no audio at all, and never becomes frames).
  uint64_t p = 0;
  while (p < size) {
    if (stopflag()) return std::nullopt;
    waitWhilePaused();
    const size_t length = size_t(std::min<uint64_t>(size - p, kMaxAacFrame));
    const uint8_t* bytes = window.at(offset + p, length);
    if (reader.filler(bytes, length)) {
      // A further track's sample may start with a zero byte too (a timecode, the length
      // of a text); runs of zeros are stepped over one by one without trying.
      const size_t further = length > 1 && bytes[1] != 0 ? furtherSampleAt(bytes, length, reader) : 0;
      p += further ? further : 1;
      continue;
    }
    const size_t used = reader.frameSize(bytes, length);
    if (used == 0) {
      // The last zero byte of filler in front of a mono frame starting 0x01.
      if (bytes[0] == 0) {
        ++p;
        continue;
      }
      // A sample of a further track between the audio frames is stepped over.
      if (const size_t further = furtherSampleAt(bytes, length, reader)) {
        p += further;
        continue;
      }
      if (const uint64_t still = stillImageAt(window, offset + p, offset + size)) {
        p += still;
        continue;
      }
      break;
    }
    frames.push_back(Sample::initWithSampleType(kSampleTypeAAC, offset + p, used, nullptr));
    p += used;
  }
  return frames;
}

}  // namespace vr
