#include "atoms/UserData.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <cstring>

#include "atoms/AtomFraming.h"
#include "common/Text.h"

namespace vr {

// ---------------------------------------------------------------------------------------
// Udta

namespace {
// Text of a "manu"/"modl" child: its payload follows the 8-byte header, its length taken as
// a 16-bit count.
std::string childText(const uint8_t* child, uint32_t childSize) {
  const uint32_t payload = childSize >= 8 ? childSize - 8 : 0;
  return Udta::getTheDetailsFromBlock(child + 8, payload > 0xFFFF ? 0xFFFF : uint16_t(payload));
}

constexpr ChildRow<Udta> kUdtaChildren[] = {
    {fourCC("manu"), [](Udta& u, const uint8_t* c, uint32_t n) { u.manufacture = childText(c, n); }},
    {fourCC("modl"), [](Udta& u, const uint8_t* c, uint32_t n) { u.device = childText(c, n); }},
};

// Payload of an "xml " child: after its header and its version-and-flags word.
constexpr ChildRow<Meta> kMetaChildren[] = {
    {fourCC("xml "), [](Meta& m, const uint8_t* c, uint32_t n) {
       if (n > 12) m.parserXMLDadta(c + 12, n - 12);
     }},
};
}  // namespace

void Udta::readBytes(const uint8_t* bytes, uint32_t length) {
  readAtomHeader(bytes, length, size, type);
  if (bytes == nullptr || length < 16) return;
  scanChildren(bytes, length, ChildScanBounds{8, true}, kUdtaChildren, *this);
}

std::string Udta::getTheDetailsFromBlock(const uint8_t* block, uint16_t size) {
  std::string raw;
  if (block == nullptr) return raw;
  raw.reserve(size);
  for (uint32_t i = 0; i < size; ++i) {
    const uint8_t b = block[i];
    if (b == 0x15) {
      ++i;  // a 0x15 marker and the byte after it carry no text
      continue;
    }
    if (b == 0) continue;
    raw.push_back(char(b));
  }
  return isValidUtf8(raw) ? raw : latin1ToUtf8(raw);
}

// ---------------------------------------------------------------------------------------
// Meta

void Meta::readBytes(const uint8_t* bytes, uint32_t length) {
  readAtomHeader(bytes, length, size, type);
  if (bytes == nullptr || length < 17) return;
  scanChildren(bytes, length, ChildScanBounds{8, false}, kMetaChildren, *this);
}

namespace {

void metaStartElement(void* ctx, const xmlChar* /*localname*/, const xmlChar* /*prefix*/, const xmlChar* /*uri*/,
                      int /*nbNamespaces*/, const xmlChar** /*namespaces*/, int nbAttributes, int /*nbDefaulted*/,
                      const xmlChar** attributes) {
  auto* meta = static_cast<Meta*>(ctx);
  if (meta == nullptr || attributes == nullptr) return;
  // Each attribute is five pointers: local name, prefix, URI, value start, value end.
  for (int i = 0; i < nbAttributes; ++i) {
    const xmlChar** a = attributes + 5 * i;
    if (a[0] == nullptr || a[3] == nullptr || a[4] == nullptr || a[4] < a[3]) continue;
    const char* name = reinterpret_cast<const char*>(a[0]);
    std::string value(reinterpret_cast<const char*>(a[3]), size_t(a[4] - a[3]));
    if (std::strcmp(name, "manufacturer") == 0)
      meta->manufacture = std::move(value);
    else if (std::strcmp(name, "modelName") == 0)
      meta->device = std::move(value);
  }
}

void metaSilentError(void*, xmlErrorPtr) {}

}  // namespace

void Meta::parserXMLDadta(const uint8_t* xml, uint32_t length) {
  if (xml == nullptr || length == 0) return;
  xmlSAXHandler sax;
  std::memset(&sax, 0, sizeof(sax));
  sax.initialized = XML_SAX2_MAGIC;
  sax.startElementNs = &metaStartElement;
  sax.serror = &metaSilentError;

  // The atom itself is the SAX user data handed to the element callback.
  xmlParserCtxtPtr ctxt = xmlCreatePushParserCtxt(&sax, this, nullptr, 0, nullptr);
  if (ctxt == nullptr) return;
  // Never fetch anything from the network and never load external DTDs.
  xmlCtxtUseOptions(ctxt, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);

  constexpr uint32_t kChunk = 1u << 20;
  uint32_t done = 0;
  while (done < length) {
    const uint32_t n = std::min(kChunk, length - done);
    const bool last = done + n == length;
    if (xmlParseChunk(ctxt, reinterpret_cast<const char*>(xml + done), int(n), last ? 1 : 0) != 0) break;
    if (ctxt->disableSAX) break;
    done += n;
  }
  xmlFreeParserCtxt(ctxt);
}

}  // namespace vr
