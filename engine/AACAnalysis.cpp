// AAC frame analysis. The bytes between two video runs hold raw AAC frames without headers
// or index; their boundaries are found by decoding. A decoder set up from the reference's
// AudioSpecificConfig is fed the stretch from its first byte: a successful decode tells
// how many bytes the frame used, which is the frame's size and the step to the next one;
// where decoding fails the analysis moves on by one byte. The decoder's state carries
// from frame to frame, which is what lets it reject offsets inside a frame.
#include <neaacdec.h>

#include <algorithm>

#include "engine/ByteWindow.h"
#include "engine/File.h"
#include "engine/RepairFile.h"

namespace vr {

namespace {

// Longest window handed to one decode attempt; a longer frame is not found.
constexpr size_t kDecodeWindow = 1024;
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

std::optional<SampleList> RepairFile::analyseAACInFileHandle(FileHandle& fileHandle, uint64_t offset, uint64_t size) {
  SampleList frames;
  const auto dsi = healthyFile ? healthyFile->decoderSpecificInfo() : nullptr;
  const Bytes config = dsi ? dsi->decoderSpecificInfo : Bytes();
  Decoder decoder;
  if (!decoder.get() || config.empty()) return frames;
  // Only the first two bytes of the AudioSpecificConfig configure the decoder.
  unsigned char asc[2] = {config[0], config.size() > 1 ? config[1] : uint8_t(0)};
  // Only where frames begin and end matters here, never the sound: samples left as floats
  // spare the decoder their rounding to 16 bits, a sixth of its time.
  if (NeAACDecConfigurationPtr conf = NeAACDecGetCurrentConfiguration(decoder.get())) {
    conf->outputFormat = FAAD_FMT_FLOAT;
    NeAACDecSetConfiguration(decoder.get(), conf);
  }
  unsigned long sampleRate = 0;
  unsigned char channels = 0;
  if (NeAACDecInit2(decoder.get(), asc, 2, &sampleRate, &channels) < 0) return frames;
  // Channel configuration of the AudioSpecificConfig: 5 bits object type, 4 bits
  // sampling-frequency index, then 4 bits of channel configuration.
  const unsigned channelConfiguration = ((unsigned(asc[0]) << 8 | asc[1]) >> 3) & 0xF;
  const bool zeroNeverStartsAFrame = channelConfiguration == 2;
  if (size == 0) return frames;

  // The stretch is read through a window of bounded size, whatever its length; bytes
  // missing at the end of the file read as zero.
  const uint64_t fileSize = fileHandle.size();
  const size_t capacity = size_t(std::clamp<uint64_t>(size, 4096, 1 << 20));
  ByteWindow window(fileHandle, fileSize, capacity, kDecodeWindow);

  uint64_t p = 0;
  while (p < size) {
    if (stopflag()) return std::nullopt;
    waitWhilePaused();
    const size_t length = size_t(std::min<uint64_t>(size - p, kDecodeWindow));
    // The decoder does not write to its input; the window keeps room behind `length`.
    auto* bytes = const_cast<uint8_t*>(window.at(offset + p, length));
    // Filler between the streams is stepped over without a decode attempt: a zero byte
    // cannot start a stereo frame, whose first element is a channel pair (id 1). A mono
    // or multichannel frame starts with a single-channel element (id 0, first byte 0x00
    // or 0x01) followed by the rest of its global gain, which is not zero in practice; two
    // zero bytes are filler there (decoding into a run of zeros can yield a bogus frame
    // that swallows the real one after it).
    const bool filler = bytes[0] == 0 && (zeroNeverStartsAFrame || length < 2 || bytes[1] == 0);
    if (filler) {
      ++p;
      continue;
    }
    NeAACDecFrameInfo info{};
    void* output = NeAACDecDecode(decoder.get(), &info, bytes, length);
    if (info.error == kErrorChannelConfigurationChange) {
      if (NeAACDecHandle fresh = replacementDecoder(decoder.get(), asc)) {
        decoder.reset(fresh);
        info = NeAACDecFrameInfo{};
        output = NeAACDecDecode(decoder.get(), &info, bytes, length);
      }
    }
    if (output != nullptr && info.bytesconsumed > 0) {
      const uint64_t used = std::min<uint64_t>(info.bytesconsumed, length);
      frames.push_back(Sample::initWithSampleType(kSampleTypeAAC, offset + p, used, nullptr));
      p += used;
    } else {
      ++p;
    }
  }
  return frames;
}

}  // namespace vr
