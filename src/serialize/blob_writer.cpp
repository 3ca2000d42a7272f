#include "serialize/blob_writer.hpp"

#include "serialize/blob_format.hpp"
#include "serialize/byte_sink.hpp"
#include "serialize/record_encoding.hpp"

namespace quorvel {

BlobTooLarge::BlobTooLarge()
    : InternalError(
          "graph too large for a quorvel IR blob: a string length, list count, stage reference index or the node "
          "count exceeds 4294967295") {}

BlobPlan::BlobPlan(const GraphStore& store) {
  GraphStore::FrozenView view = store.frozen();
  nodes_ = std::move(view.nodes);
  outputs_ = std::move(view.outputs);
  measure();
}

BlobPlan::BlobPlan(NodeList nodes, NodeIds outputs) : nodes_(std::move(nodes)), outputs_(std::move(outputs)) {
  measure();
}

void BlobPlan::measure() {
  const std::size_t n = nodes_.size();
  bounded_ = n >= kBoundedNodes;
  EncodedSize size;
  size.bytes = kBlobHeaderBytes;
  size.widest = n;
  if (bounded_) {
    for (std::size_t i = 0; i < n; ++i) bound_record(size, nodes_[i]);
  } else {
    for (std::size_t i = 0; i < n; ++i) measure_record(size, nodes_[i]);
  }
  size.add_ids(outputs_.size());
  // The caller's graph does not fit the format's 32-bit counts: nothing is
  // written, and the store is intact.
  if (size.widest > kBlobMaxCount) throw BlobTooLarge();
  bound_ = size.bytes;
}

std::size_t BlobPlan::write_to(char* out) const {
  ByteSink sink(out, out + bound_);
  sink.bytes(kBlobMagic);
  sink.count(nodes_.size());
  if (bounded_) {
    for (std::size_t i = 0; i < nodes_.size(); ++i) write_bounded_record(sink, nodes_[i]);
  } else {
    for (std::size_t i = 0; i < nodes_.size(); ++i) write_record(sink, nodes_[i]);
  }
  sink.ids(outputs_);
  check_invariant(!sink.overflowed() && (bounded_ || sink.exactly_filled()), "the blob fits the room sized for it",
                  "size mismatch");
  return sink.written(out);
}

namespace {

std::string write_blob(const BlobPlan& plan) {
  std::string blob;
  blob.resize(plan.bound());
  blob.resize(plan.write_to(blob.data()));
  return blob;
}

}  // namespace

std::string serialize_with(const GraphStore& store, const NodeIds& outputs) {
  return write_blob(BlobPlan(store.frozen().nodes, outputs));
}

std::string serialize_with_marks(const GraphStore& store) { return write_blob(BlobPlan(store)); }

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
