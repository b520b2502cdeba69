#include "engine/Sample.h"

#include "engine/NALU.h"

namespace vr {

Sample Sample::initWithSampleType(uint64_t sampleType, uint64_t sampleOffsetInFile, uint64_t sizeOfTheSample,
                                  const NALU* nalu) {
  Sample s;
  s.sampleType = uint8_t(sampleType);
  s.sampleOffset = sampleOffsetInFile;
  s.sampleSize = sizeOfTheSample;
  if (nalu) {
    s.nal.NALType = uint8_t(nalu->NALType);
    s.nal.name = nalu->name;
  }
  return s;
}

}  // namespace vr
