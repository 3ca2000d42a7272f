#include "serialize/blob_writer.hpp"

#include "serialize/blob_format.hpp"
#include "serialize/byte_sink.hpp"
#include "serialize/record_encoding.hpp"

namespace quorvel {

BlobTooLarge::BlobTooLarge()
    : InternalError(
          "graph too large for a quorvel IR blob: a string length, list count, stage reference index or the node "
          "count exceeds 4294967295") {}

namespace {

enum class WriteStatus { Written, TooLarge, SizeMismatch };

// Measures the whole blob, allocates it once and fills it, all under one
// acquisition of the store's lock and without copying any key. Nothing in
// here throws (apart from a failed allocation, which leaves the store as
// it is): errors are reported after the lock has been released.
std::string write_blob(const GraphStore& store, const NodeIds* explicit_outputs) {
  std::string blob;
  WriteStatus status = WriteStatus::Written;
  store.read_locked([&](const GraphStore::View& view) {
    const NodeIds& outputs = explicit_outputs != nullptr ? *explicit_outputs : view.outputs();
    const std::size_t n = view.size();

    EncodedSize size;
    size.bytes = kBlobHeaderBytes;
    size.widest = n;
    for (std::size_t i = 0; i < n; ++i) measure_record(size, view[i]);
    size.add_ids(outputs.size());
    if (size.widest > kBlobMaxCount) {
      status = WriteStatus::TooLarge;
      return;
    }

    blob.resize(size.bytes);
    ByteSink sink(blob.data(), blob.data() + blob.size());
    sink.bytes(kBlobMagic);
    sink.count(n);
    for (std::size_t i = 0; i < n; ++i) write_record(sink, view[i]);
    sink.ids(outputs);
    if (!sink.exactly_filled()) status = WriteStatus::SizeMismatch;
  });
  if (status == WriteStatus::TooLarge) throw BlobTooLarge();
  check_invariant(status == WriteStatus::Written, "measured blob size equals the bytes written", "size mismatch");
  return blob;
}

}  // namespace

std::string serialize_with(const GraphStore& store, const NodeIds& outputs) { return write_blob(store, &outputs); }

std::string serialize_with_marks(const GraphStore& store) { return write_blob(store, nullptr); }

void put_params(std::string& out, const ParamMap& params) {
  EncodedSize size;
  measure_params(size, params);
  if (size.widest > kBlobMaxCount) throw BlobTooLarge();
  const std::size_t start = out.size();
  out.resize(start + size.bytes);
  ByteSink sink(out.data() + start, out.data() + out.size());
  write_params(sink, params);
  check_invariant(sink.exactly_filled(), "measured parameter list size equals the bytes written", "size mismatch");
}

}  // namespace quorvel
