#include "ros2/plain_cdr.hpp"

#include <dds/ddsi/ddsi_cdrstream.h>
#include <dds/ddsi/ddsi_serdata.h>
#include <dds/ddsi/ddsi_sertype.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "ros2/entity.hpp"

namespace ros2::detail {
namespace {

// dds_writecdr accepts serialised data of any sertype and converts it to the writer's
// own from its bytes (header included), exactly as it does for data from the network.
// So a minimal sertype whose serdata only holds finished bytes is enough to choose the
// header: it is never attached to a topic and only needs size, bytes and release.
struct RawSerdata {
  ddsi_serdata c;  // first member: Cyclone hands back pointers to it
  unsigned char* bytes;
  uint32_t size;
};

RawSerdata* raw(const ddsi_serdata* d) {
  return reinterpret_cast<RawSerdata*>(const_cast<ddsi_serdata*>(d));
}

uint32_t rawSize(const ddsi_serdata* d) { return raw(d)->size; }

void rawToSer(const ddsi_serdata* d, size_t off, size_t sz, void* buf) {
  std::memcpy(buf, raw(d)->bytes + off, sz);
}

ddsi_serdata* rawToSerRef(const ddsi_serdata* d, size_t off, size_t sz, ddsrt_iovec_t* ref) {
  ref->iov_base = raw(d)->bytes + off;
  ref->iov_len = sz;
  return ddsi_serdata_ref(d);
}

void rawToSerUnref(ddsi_serdata* d, const ddsrt_iovec_t*) { ddsi_serdata_unref(d); }

void rawFree(ddsi_serdata* d) {
  RawSerdata* r = raw(d);
  delete[] r->bytes;
  delete r;
}

// Keyless: every sample is the one instance.
bool rawEqKey(const ddsi_serdata*, const ddsi_serdata*) { return true; }
void rawKeyhash(const ddsi_serdata*, ddsi_keyhash* buf, bool) { std::memset(buf, 0, sizeof *buf); }
size_t rawPrint(const ddsi_sertype*, const ddsi_serdata* d, char* buf, size_t size) {
  const int n =
      std::snprintf(buf, size, "(%u serialised bytes)", static_cast<unsigned>(raw(d)->size));
  return n < 0 ? 0 : static_cast<size_t>(n);
}
bool rawToSample(const ddsi_serdata*, void*, void**, void*) { return false; }
ddsi_serdata* rawToUntyped(const ddsi_serdata* d) { return ddsi_serdata_ref(d); }
bool rawUntypedToSample(const ddsi_sertype*, const ddsi_serdata*, void*, void**, void*) {
  return false;
}

void typeFree(ddsi_sertype*) {}
void typeZeroSamples(const ddsi_sertype*, void*, size_t) {}
void typeReallocSamples(void**, const ddsi_sertype*, void*, size_t, size_t) {}
void typeFreeSamples(const ddsi_sertype*, void**, size_t, dds_free_op_t) {}
bool typeEqual(const ddsi_sertype* a, const ddsi_sertype* b) { return a == b; }
uint32_t typeHash(const ddsi_sertype*) { return 0; }

const ddsi_sertype* carrierType() {
  static const ddsi_serdata_ops serdataOps = [] {
    ddsi_serdata_ops ops{};
    ops.eqkey = rawEqKey;
    ops.get_size = rawSize;
    ops.to_ser = rawToSer;
    ops.to_ser_ref = rawToSerRef;
    ops.to_ser_unref = rawToSerUnref;
    ops.to_sample = rawToSample;
    ops.to_untyped = rawToUntyped;
    ops.untyped_to_sample = rawUntypedToSample;
    ops.free = rawFree;
    ops.print = rawPrint;
    ops.get_keyhash = rawKeyhash;
    return ops;
  }();
  static const ddsi_sertype_ops typeOps = [] {
    ddsi_sertype_ops ops{};
    ops.version = ddsi_sertype_v0;
    ops.free = typeFree;
    ops.zero_samples = typeZeroSamples;
    ops.realloc_samples = typeReallocSamples;
    ops.free_samples = typeFreeSamples;
    ops.equal = typeEqual;
    ops.hash = typeHash;
    return ops;
  }();
  // Lives for the whole process; never registered with a domain.
  static ddsi_sertype* const type = [] {
    auto* t = new ddsi_sertype{};
    ddsi_sertype_init(t, "plain_cdr_carrier", &typeOps, &serdataOps, true);
    return t;
  }();
  return type;
}

}  // namespace

std::vector<unsigned char> plainCdr(const dds_topic_descriptor_t* type, const void* sample) {
  dds_ostreamLE_t os;
  dds_ostreamLE_init(&os, 0, CDR_ENC_VERSION_1);
  const bool ok = dds_stream_writeLE(&os, static_cast<const char*>(sample), type->m_ops) != nullptr;
  std::vector<unsigned char> bytes;
  if (ok) {
    const size_t body = os.x.m_index;
    bytes.assign(4 + (body + 3) / 4 * 4, 0);
    bytes[1] = 0x01;  // plain CDR, little endian
    std::memcpy(bytes.data() + 4, os.x.m_buffer, body);
  }
  dds_ostreamLE_fini(&os);
  if (!ok)
    throw std::runtime_error(std::string("cannot serialise a ") + type->m_typename + " sample");
  return bytes;
}

void writePlainCdr(dds_entity_t writer, const dds_topic_descriptor_t* type, const void* sample,
                   const std::string& what) {
  std::vector<unsigned char> bytes = plainCdr(type, sample);
  auto* carrier = new RawSerdata{};
  carrier->bytes = new unsigned char[bytes.size()];
  std::memcpy(carrier->bytes, bytes.data(), bytes.size());
  carrier->size = static_cast<uint32_t>(bytes.size());
  ddsi_serdata_init(&carrier->c, carrierType(), SDK_DATA);
  // Consumes the carrier's reference (a writer handle that is not a writer would leak
  // it, which our own valid writers never are).
  checkRc(dds_writecdr(writer, &carrier->c), what);
}

}  // namespace ros2::detail
