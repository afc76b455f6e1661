// Python classes of the wire foundation: NetHeader, NetPackage, RawFrameReader.
#include "pyostrel/py_wire.h"

#include <optional>

#include "pyostrel/bind/class.h"
#include "pyostrel/bind/function.h"
#include "qel/wire/frame.h"
#include "qel/wire/net_package.h"
#include "qel/wire/raw_frame_reader.h"
#include "qel/wire/snappy.h"

namespace pyostrel {

using bind::Blob;
using bind::Class;
using bind::Ref;
using qel::wire::FrameHeader;
using qel::wire::NetPackage;
using qel::wire::RawFrameReader;

namespace {

// ---- NetHeader --------------------------------------------------------------

std::string header_encode(const FrameHeader& h) {
  qel::wire::Writer w(qel::wire::kHeaderSize);
  h.encode(w);
  return std::move(w).take();
}

// `len` is the number of valid bytes at the front of `buf`; 0 means none.
std::uint32_t header_decode(FrameHeader& h, Blob buf, std::uint32_t len) {
  if (len == 0) return 0;
  qel::wire::Reader r(buf.bytes.first(std::min<std::size_t>(len, buf.bytes.size())));
  h = FrameHeader::decode(r);
  return static_cast<std::uint32_t>(qel::wire::kHeaderSize);
}

std::uint32_t header_decode_string(FrameHeader& h, Blob buf) {
  return header_decode(h, buf, static_cast<std::uint32_t>(std::min<std::size_t>(buf.bytes.size(), UINT32_MAX)));
}

FrameHeader header_clone(const FrameHeader& h) { return h; }

// ---- NetPackage -------------------------------------------------------------

void package_set_content(NetPackage& p, Blob v) {
  p.content.assign(reinterpret_cast<const char*>(v.bytes.data()), v.bytes.size());
}

// The stages of the Snappy-wrapped form report under their own names, after
// the methods' "NetPackage " prefix.
std::string package_encode_string(const NetPackage& p) {
  std::string raw = qel::with_prefix<qel::Error, qel::wire::FrameError>("frame: ", [&] { return p.encode_raw(); });
  return qel::with_prefix<qel::Error, qel::wire::SnappyError>(
      "snappy compress: ", [&] { return qel::wire::snappy_compress(qel::wire::as_bytes(raw)); });
}

void package_decode_string(NetPackage& p, Blob buf) {
  p = qel::with_prefix<qel::Error, qel::wire::FrameError>("frame: ", [&] {
    return qel::with_prefix<qel::Error, qel::wire::SnappyError>("snappy decompress: ",
                                                                 [&] { return NetPackage::decode_string(buf); });
  });
}

void package_decode(NetPackage& p, Blob buf, bind::IgnoredInt) { package_decode_string(p, buf); }

std::size_t package_decode_raw(NetPackage& p, Blob buf) { return p.decode_raw(buf); }

std::string package_encode_raw(const NetPackage& p) { return p.encode_raw(); }

// ---- RawFrameReader ---------------------------------------------------------

// (cmd, seq, version, flag, body), built without a format string: feed makes
// one per frame.
PyObject* frame_tuple(const qel::wire::FrameView& f) noexcept {
  // PyLong_FromLong has a fast path for one-digit values that the unsigned
  // variant lacks; a u32 seq always fits a long here.
  static_assert(sizeof(long) >= 8);
  PyObject* items[5] = {PyLong_FromLong(f.header.cmd), PyLong_FromLong(static_cast<long>(f.header.seq)),
                        bind::int_from_u8(f.header.version), bind::int_from_u8(f.header.flag),
                        bind::bytes_from(f.body.data(), f.body.size())};
  PyObject* tuple = PyTuple_New(5);
  for (int i = 0; i < 5; ++i) {
    if (!items[i] || !tuple) {
      for (PyObject* item : items) Py_XDECREF(item);
      Py_XDECREF(tuple);
      return nullptr;
    }
  }
  for (int i = 0; i < 5; ++i) PyTuple_SET_ITEM(tuple, i, items[i]);
  return tuple;
}

// Each frame becomes its tuple as soon as it is cut, while its bytes are hot.
// If building the result fails, the frames cut so far go back to the reader
// and come out of the next feed: a frame is never consumed and then dropped.
Ref reader_feed(RawFrameReader& reader, Blob data) {
  // Tuples wait here until the list of them can be sized: on the stack for a
  // feed of ordinary size, then on the heap. Not shared between calls:
  // allocating a tuple may run the collector, and finalizers may feed.
  struct Made {
    explicit Made(RawFrameReader& r) noexcept : reader(r) {}
    RawFrameReader& reader;
    qel::wire::UndeliveredFrames frames;
    PyObject* local[512];
    std::vector<PyObject*> more;
    std::size_t n = 0;
    bool done = false;

    void push(PyObject* item) {
      if (n < std::size(local)) {
        local[n++] = item;
      } else {
        more.push_back(item);
      }
    }
    std::size_t size() const noexcept { return n + more.size(); }
    PyObject* operator[](std::size_t i) const noexcept { return i < n ? local[i] : more[i - n]; }
    ~Made() {
      if (done) return;
      for (std::size_t i = 0; i < size(); ++i) Py_DECREF((*this)[i]);
      try {
        reader.give_back(frames.ranges());
      } catch (...) {  // no memory to keep them: the error already raised says so
      }
    }
  } made(reader);
  reader.feed_each(data, [&made](const qel::wire::FrameView& f) {
    made.frames.add(f);
    PyObject* item = frame_tuple(f);
    if (!item) throw bind::PythonErrorSet{};
    try {
      made.push(item);
    } catch (...) {
      Py_DECREF(item);
      throw;
    }
  });
  Ref list(PyList_New(static_cast<Py_ssize_t>(made.size())));
  if (!list) throw bind::PythonErrorSet{};
  for (std::size_t i = 0; i < made.size(); ++i) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), made[i]);
  made.done = true;
  return list;
}

// ---- encode_raw_frame -------------------------------------------------------

std::string encode_raw_frame(std::uint16_t cmd, std::uint32_t seq, Blob body, std::optional<std::uint8_t> version,
                             std::optional<std::uint8_t> flag) {
  return qel::wire::encode_raw_frame(cmd, seq, body, version.value_or(qel::wire::kFrameVersion), flag.value_or(0));
}

}  // namespace

const bool kDefined[] = {
    bind::define(
        "NetHeader", "The 8-byte frame header: version, sequence number, flag, command.",
        [](Class<FrameHeader>& c) {
          c.accessors<&FrameHeader::version>("version", "the protocol version (u8)")
              .accessors<&FrameHeader::seq>("seq", "the sequence number (u32)")
              .accessors<&FrameHeader::flag>("flag", "the flag byte (u8)")
              .accessors<&FrameHeader::cmd>("cmd", "the command id (u16)")
              .method<&header_encode>("encode", {}, "",
                                      "Returns the 8 header bytes: version, seq, flag, cmd, big-endian.")
              .method<&header_encode>("encode_string", {}, "", "Returns the same 8 bytes as encode().")
              .method<&header_decode>("decode", {"buf", "len"}, "NetHeader decode: ",
                                      "Reads the header from the first 8 of the len valid bytes of buf (bytes) and "
                                      "returns 8; len 0 does nothing and returns 0. Raises Exception \"NetHeader "
                                      "decode: ...\" if fewer than 8.")
              .method<&header_decode_string>("decode_string", {"buf"}, "NetHeader decode: ",
                                             "As decode(buf, len(buf)): b\"\" returns 0 and changes nothing.")
              .method<&header_clone>("clone", {}, "", "Returns a new NetHeader with the same fields.");
        }),
    bind::define(
        "NetPackage", "A command, its sequence number and body, as a raw frame or a Snappy-wrapped frame.",
        [](Class<NetPackage>& c) {
          c.accessors<&NetPackage::cmd>("cmd", "the command id (u16)")
              .accessors<&NetPackage::seq>("seq", "the sequence number (u32)")
              .accessors<&NetPackage::length>("length",
                                              "the length field (u32); a decode sets it to the frame's total_len")
              .getter<&NetPackage::content>("get_content", "Returns the body (bytes).")
              .method<&package_set_content>("set_content", {"v"}, "", "Sets the body; v must be bytes.")
              .method<&package_encode_raw>("encode_raw", {}, "NetPackage frame: ",
                                           "Returns the uncompressed frame (bytes): magic, total_len, version 4, seq, "
                                           "flag 0, cmd, body.")
              .method<&package_encode_string>("encode_string", {}, "NetPackage ",
                                              "Returns encode_raw() compressed as one raw Snappy block (bytes).")
              .method<&package_encode_string>("encode", {}, "NetPackage ", "Returns the same bytes as encode_string().")
              .method<&package_decode_string>("decode_string", {"buf"}, "NetPackage ",
                                              "Decompresses the Snappy block buf (bytes) and reads one frame from it. "
                                              "Raises Exception \"NetPackage snappy decompress: ...\" or \"NetPackage "
                                              "frame: ...\", changing nothing.")
              .method<&package_decode>("decode", {"buf", "_len"}, "NetPackage ",
                                       "As decode_string(buf); _len, an int, is ignored.")
              .method<&package_decode_raw>("decode_raw", {"buf"}, "NetPackage frame: ",
                                           "Reads one uncompressed frame from the front of buf (bytes) and returns the "
                                           "bytes it took, or 0 for an incomplete frame. Raises Exception \"NetPackage "
                                           "frame: ...\" on a bad magic or length.");
        }),
    bind::define(
        "RawFrameReader", "Cuts (cmd, seq, version, flag, body) frames from a raw stream.",
        [](Class<RawFrameReader>& c) {
          c.method<&reader_feed>("feed", {"data"}, "RawFrameReader: ",
                                 "Appends data (bytes) and returns the whole frames now buffered, a list of (cmd, "
                                 "seq, version, flag, body). Raises Exception \"RawFrameReader: ...\" on a bad frame, "
                                 "and on every feed after it.")
              .method<&RawFrameReader::pending>("pending", {}, "", "Returns the number of buffered bytes not yet cut.");
        }),
};

bool add_encode_raw_frame(PyObject* module) noexcept {
  return bind::add_function<&encode_raw_frame>(
      module, "encode_raw_frame", {"cmd", "seq", "body", "version=4", "flag=0"}, "encode_raw_frame: ",
      "Returns one uncompressed frame (bytes) of the u16 cmd, u32 seq and body (bytes), with the u8 version and flag.");
}

}  // namespace pyostrel
