#pragma once
// The two read-only atoms that name the camera: user data ("udta") with its maker and model
// texts, and XML metadata ("meta") with maker and model attributes.
#include <cstdint>
#include <memory>
#include <string>

#include "atoms/AtomReader.h"

namespace vr {

// User data ("udta"), read only: the camera maker ("manu") and model ("modl") texts.
class Udta {
 public:
  static std::shared_ptr<Udta> initUDTAWithBytes(const uint8_t* b, uint32_t n) { return readAtom<Udta>(b, n); }
  void readBytes(const uint8_t* bytes, uint32_t size);
  // Text of a "manu"/"modl" payload: 0x15 and the byte after it are dropped, zero bytes are
  // dropped, the rest is decoded as UTF-8 when valid and as Latin-1 otherwise.
  static std::string getTheDetailsFromBlock(const uint8_t* block, uint16_t size);

  uint32_t size = 0;         // header size field
  uint32_t type = 0;         // "udta"
  std::string manufacture;   // camera maker, empty when absent
  std::string device;        // camera model, empty when absent
};

// XML metadata ("meta"), read only: maker and model from the attributes "manufacturer" and
// "modelName" of any element of its "xml " children.
class Meta {
 public:
  static std::shared_ptr<Meta> initMetaWithByte(const uint8_t* b, uint32_t n) { return readAtom<Meta>(b, n); }
  void readBytes(const uint8_t* bytes, uint32_t size);
  // Runs an event-driven parser over one XML document; a parse error keeps what was set.
  void parserXMLDadta(const uint8_t* xml, uint32_t length);

  uint32_t size = 0;         // header size field
  uint32_t type = 0;         // "meta"
  std::string manufacture;   // camera maker, empty when absent
  std::string device;        // camera model, empty when absent
};

}  // namespace vr
