#include "engine/File.h"

#include <algorithm>
#include <cstdio>

#include "common/FileIO.h"

namespace vr {

namespace {
constexpr uint64_t kWindowLength = 65535;
// Largest atoms read whole from a reference: a movie atom of a day-long recording stays far
// below 256 MiB; user data and XML metadata are small.
constexpr uint32_t kFtypLimit = 65535;
constexpr uint32_t kUserDataLimit = 16u << 20;
constexpr uint32_t kMovieAtomLimit = 256u << 20;
}

std::string formatDuration(uint64_t seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%llu:%llu:%llu", static_cast<unsigned long long>(seconds / 3600),
                static_cast<unsigned long long>((seconds % 3600) / 60), static_cast<unsigned long long>(seconds % 60));
  return text;
}

std::shared_ptr<File> File::initWithFileType(uint64_t fileType, const std::string& filePath) {
  auto f = std::make_shared<File>();
  f->fileType = fileType;
  f->filePath = filePath;
  return f;
}

bool File::validMoovInnerTagInBytes(const uint8_t* bytes, size_t available) {
  if (bytes == nullptr) return false;
  auto plausible = [](uint32_t t) {
    return t == fourCC("mvhd") || t == fourCC("uuid") || t == fourCC("free") || t == fourCC("udta") ||
           t == fourCC("trak");
  };
  return plausible(readBE32At(bytes, available, 12)) || plausible(readBE32At(bytes, available, 20));
}

std::shared_ptr<File> File::parseFileAtPath(const std::string& path) {
  auto model = initWithFileType(kFileTypeReference, path);
  FileHandle handle = FileHandle::openForReading(path);
  const uint64_t S = handle.isOpen() ? handle.size() : 0;
  const uint64_t N = (S + kWindowLength - 1) / kWindowLength;
  if (N == 0 || S == 20) return model;

  uint64_t P = 0;
  uint64_t i = 0;
  bool mdatFound = false;
  const uint64_t J = (N / 100) * 90;
  Bytes window(kWindowLength);

  // Reads a whole atom at an absolute position; empty when it could not be read in full
  // or when it claims more than such an atom can hold (a damaged size must not make the
  // scan allocate gigabytes).
  auto readAtom = [&](uint64_t at, uint32_t size, uint32_t limit) {
    if (size > limit) return Bytes();
    Bytes b = handle.readAt(at, size);
    if (b.size() != size) b.clear();
    return b;
  };

  // The file-type, user-data and metadata atoms of `size` bytes at `at`, kept in the
  // model; false when the atom could not be read.
  auto keep = [&](uint32_t type, uint64_t at, uint32_t size) {
    const bool fileType = type == fourCC("ftyp");
    Bytes b = readAtom(at, size, fileType ? kFtypLimit : kUserDataLimit);
    if (b.empty()) return false;
    if (fileType) model->ftyp = Ftyp::initFtypWithBytes(b.data(), size);
    else if (type == fourCC("udta")) model->udta = Udta::initUDTAWithBytes(b.data(), size);
    else model->meta = Meta::initMetaWithByte(b.data(), size);
    return true;
  };
  // The media-data header `header` (16 bytes) at `at`, kept when its size (64-bit
  // included) fits the file.
  auto keepMdat = [&](const uint8_t* header, uint64_t at) {
    auto mdat = Mdat::initMdatWithBytes(header, 16, at);
    if (!mdat || mdat->size > S - at) return false;
    model->mdat = mdat;
    return true;
  };
  // The movie atom of `size` bytes at `at`, taken when it parses; why it does not, into `why`.
  auto takeMoov = [&](uint64_t at, uint32_t size, std::string* why) {
    Bytes b = readAtom(at, size, kMovieAtomLimit);
    std::shared_ptr<Moov> moov = !b.empty() && validMoovInnerTagInBytes(b.data(), b.size())
                                     ? Moov::initMOOVWithData(b.data(), size, why)
                                     : nullptr;
    if (!moov) return false;
    if (moov->udta) model->udta = moov->udta;
    model->setMoov(moov);
    return true;
  };

  // A sound file: its top-level atoms follow each other from the first byte, and the
  // movie atom is one of them. Anything else (a damaged or odd layout, a movie atom that
  // does not parse) is searched for tag by tag below.
  walkTopLevelAtoms(handle, S, [&](const TopLevelAtom& a) {
    if (!a.fits) return false;
    const uint32_t Z = a.header == 8 ? uint32_t(a.size) : 0;
    if ((a.type == fourCC("udta") || a.type == fourCC("meta") || (a.type == fourCC("ftyp") && Z < 65536)) && Z != 0) {
      keep(a.type, a.pos, Z);
    } else if (a.type == fourCC("mdat")) {
      uint8_t header[16] = {};
      handle.readZeroFilled(a.pos, header, sizeof header);
      keepMdat(header, a.pos);
    } else if (a.type == fourCC("moov")) {
      if (Z != 0) takeMoov(a.pos, Z, nullptr);
      return false;
    }
    return true;
  }, 64);

  while (true) {
    if (model->moov_) break;
    if (!mdatFound && i == 10 && N > 100) {
      // The media data was not found in the first windows: a camera file keeps its movie
      // atom near the end, so continue from 90 % of the file.
      P = kWindowLength * J;
      i = J;
    }
    if (P >= S) break;
    const uint64_t L = std::min<uint64_t>(S - P, kWindowLength);
    handle.readZeroFilled(P, window.data(), L);

    uint64_t j = 0;
    while (L > 24 && j < L - 24) {
      const uint8_t* at = window.data() + j;
      const uint32_t Z = readBE32(at);
      const uint32_t type = readBE32(at + 4);
      const uint64_t A = P + j;
      const bool fits = Z != 0 && A + Z <= S;
      uint64_t advance = 1;
      if (type == fourCC("ftyp") || type == fourCC("udta") || type == fourCC("meta")) {
        if (fits && (type != fourCC("ftyp") || Z < 65536)) {
          keep(type, A, Z);
          advance = Z - 1;
        }
      } else if (type == fourCC("free")) {
        // Jump over filler that is under 5 % of the file; in files under 100 bytes the
        // share cannot be computed and filler is scanned byte by byte.
        if (fits && S >= 100 && Z / (S / 100) < 5) advance = Z - 1;
      } else if (type == fourCC("moov")) {
        std::string why;
        if (validMoovInnerTagInBytes(at, size_t(L - j)) && fits) {
          if (takeMoov(A, Z, &why)) advance = Z;
          else if (!why.empty()) model->moovRefusals.push_back(why);
        }
      } else if (type == fourCC("mdat")) {
        if (keepMdat(at, A)) {
          mdatFound = true;
          advance = model->mdat->size;
        }
      }
      j += std::max<uint64_t>(advance, 1);
    }

    i += 1;
    if (i >= N) break;
    P += j;
    if (S < 20 || P >= S - 20) break;
  }
  return model;
}

uint64_t walkTopLevelAtoms(FileHandle& file, uint64_t fileSize, const std::function<bool(const TopLevelAtom&)>& visit,
                           int maxAtoms) {
  uint64_t pos = 0;
  for (int count = 0; count < maxAtoms && pos <= fileSize && fileSize - pos >= 8; ++count) {
    uint8_t h[16] = {};
    file.readZeroFilled(pos, h, sizeof h);
    TopLevelAtom a;
    a.pos = pos;
    a.size = readBE32(h);
    a.type = readBE32(h + 4);
    if (a.size == 1) {
      a.size = readBE64(h + 8);
      a.header = 16;
    }
    a.fits = a.size >= a.header && a.size <= fileSize - pos;
    if (!visit(a) || !a.fits) return pos;
    pos += a.size;
  }
  return pos;
}

void File::setMoov(std::shared_ptr<Moov> moov) {
  moov_ = std::move(moov);
  loadDecoders();
  getVideoCoderFormat();
  getAudioCoderFormat();
}

void File::loadDecoders() {
  videoDecoder = moov_ ? moov_->getTrackDecoderWith(kMediaKindVideo) : Decoder{};
  audioDecoder = moov_ ? moov_->getTrackDecoderWith(kMediaKindSound) : Decoder{};
}

void File::getVideoCoderFormat() { videoCodec = moov_ ? moov_->getVideoCodecFormat() : 0; }
void File::getAudioCoderFormat() { audioCodec = moov_ ? moov_->getAudioCodecFormat() : 0; }

double File::videoFPS() const { return moov_ ? moov_->videoTrackFPS() : 0.0; }
double File::audioFPS() const { return moov_ ? moov_->audioTrackFPS() : 0.0; }
uint32_t File::videoTrackTimeScale() const { return moov_ ? moov_->videoTrackTimeScale() : 0; }
uint32_t File::audioTrackTimeScale() const { return moov_ ? moov_->audioTrackTimeScale() : 0; }
uint32_t File::AVCOneNaluSizeLength() const { return moov_ ? moov_->getAVCOneNALUSizeLength() : 0; }
std::shared_ptr<vr::SPS> File::SPS() const { return moov_ ? moov_->SPS() : nullptr; }
std::shared_ptr<vr::PPS> File::PPS() const { return moov_ ? moov_->PPS() : nullptr; }
std::shared_ptr<vr::VPS_265> File::VPS() const { return moov_ ? moov_->VPS() : nullptr; }
uint64_t File::numberOfTracks() const { return moov_ ? moov_->numberOfTracks() : 0; }
uint32_t File::getSampleSkip() const { return moov_ ? moov_->getSampleSkip() : 0; }

std::shared_ptr<vr::SPS_265> File::SPS265() const { return moov_ ? moov_->SPS265() : nullptr; }
std::shared_ptr<vr::PPS_265> File::PPS265() const { return moov_ ? moov_->PPS265() : nullptr; }
std::shared_ptr<DecoderSpecifiInfoWrapper> File::decoderSpecificInfo() const {
  return moov_ ? moov_->decodeSpecificInfo() : nullptr;
}

std::string File::durationOfFile() const {
  if (!moov_) return "Missing";
  // The movie duration counts in the movie header's time scale; dividing it by the video
  // track's media time scale (which cameras set to 12800, 90000, ...) would show a
  // fraction of the real length. The video time scale still decides whether there is a
  // duration to show at all.
  if (moov_->videoTrackTimeScale() == 0) return "0:0:0";
  const uint32_t movieTimeScale = moov_->mvhd ? moov_->mvhd->timescale : 0;
  const uint32_t timeScale = movieTimeScale != 0 ? movieTimeScale : moov_->videoTrackTimeScale();
  return formatDuration(uint32_t(moov_->duration()) / timeScale);
}

std::shared_ptr<Moov> File::createMoovHeaderWithVideoRequest(const std::shared_ptr<AtomCreationRequest>& video,
                                                             const std::shared_ptr<AtomCreationRequest>& audio) const {
  if (!moov_) return nullptr;
  return moov_->createMoovHeaderWithVideoRequest(video.get(), audio.get());
}

uint64_t File::writeToFileHandle(FileHandle& handle) const {
  if (!moov_) return 0;
  return moov_->writeToFileHandle(handle);
}

}  // namespace vr
