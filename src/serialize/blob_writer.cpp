#include "serialize/blob_writer.hpp"

#include <algorithm>
#include <utility>

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
  plan();
}

BlobPlan::BlobPlan(NodeList nodes, NodeIds outputs) : nodes_(std::move(nodes)), outputs_(std::move(outputs)) {
  plan();
}

namespace {

// A growing blob's expected size is extrapolated from this many records.
constexpr std::size_t kSampledRecords = 4096;

}  // namespace

void BlobPlan::plan() {
  const std::size_t n = nodes_.size();
  growing_ = n >= kGrowingNodes;
  EncodedSize size;
  size.widest = n;
  if (growing_) {
    // The sampled records' bounds, scaled to every record and an eighth
    // more: a graph whose later records are longer grows its buffer.
    for (std::size_t i = 0; i < kSampledRecords; ++i) bound_record(size, nodes_[i]);
    const std::size_t per_record = (size.bytes + kSampledRecords - 1) / kSampledRecords;
    size.bytes = per_record * n + per_record * n / 8;
  } else {
    for (std::size_t i = 0; i < n; ++i) measure_record(size, nodes_[i]);
  }
  size.bytes += kBlobHeaderBytes;
  size.add_ids(outputs_.size());
  // The caller's graph does not fit the format's 32-bit counts: nothing is
  // written, and the store is intact.
  if (size.widest > kBlobMaxCount) throw BlobTooLarge();
  expected_ = size.bytes;
}

std::size_t BlobPlan::write(BlobBuffer& buffer) const {
  return growing_ ? write_growing(buffer) : write_measured(buffer);
}

std::size_t BlobPlan::write_measured(BlobBuffer& buffer) const {
  const std::span<char> room = buffer.room_for(expected_);
  char* const begin = room.data();
  ByteSink sink(begin, begin + expected_);
  sink.bytes(kBlobMagic);
  sink.count(nodes_.size());
  for (std::size_t i = 0; i < nodes_.size(); ++i) write_record(sink, nodes_[i]);
  sink.ids(outputs_);
  check_invariant(sink.exactly_filled(), "the blob fills the room measured for it", "size mismatch");
  return expected_;
}

std::size_t BlobPlan::write_growing(BlobBuffer& buffer) const {
  std::span<char> room = buffer.room_for(expected_);
  char* at = room.data();
  char* end = at + room.size();
  // Room for `bytes` more at `at`, asking the buffer when there is not.
  const auto make_room = [&](std::size_t bytes) {
    if (static_cast<std::size_t>(end - at) >= bytes) return;
    const auto written = static_cast<std::size_t>(at - room.data());
    room = buffer.room_for(written + bytes);
    at = room.data() + written;
    end = room.data() + room.size();
  };
  make_room(kBlobHeaderBytes);
  {
    ByteSink header(at, end);
    header.bytes(kBlobMagic);
    header.count(nodes_.size());
    at += kBlobHeaderBytes;
  }
  std::uint64_t widest = 0;
  for (std::size_t i = 0; i < nodes_.size(); ++i) {
    const NodeKey& key = nodes_[i];
    char* next = write_record_within(at, end, key, widest);
    if (next == nullptr) {
      EncodedSize bound;
      bound_record(bound, key);
      make_room(bound.bytes);
      next = write_record_within(at, end, key, widest);
    }
    at = next;
  }
  // A record the format cannot hold stops the blob: the writing was wasted,
  // but the check costs nothing per record.
  if (widest > kBlobMaxCount) throw BlobTooLarge();
  const std::size_t outputs_bytes = 4 + 8 * outputs_.size();
  make_room(outputs_bytes);
  ByteSink tail(at, end);
  tail.ids(outputs_);
  check_invariant(!tail.overflowed(), "the outputs fit the room made for them", "size mismatch");
  return tail.written(room.data());
}

namespace {

// A blob in a string, grown geometrically.
class StringBuffer final : public BlobBuffer {
 public:
  explicit StringBuffer(std::size_t expected) { blob_.resize(expected); }
  std::span<char> room_for(std::size_t size) override {
    if (size > blob_.size()) blob_.resize(std::max(size, blob_.size() + blob_.size() / 2));
    return {blob_.data(), blob_.size()};
  }
  std::string take(std::size_t size) && {
    blob_.resize(size);
    return std::move(blob_);
  }

 private:
  std::string blob_;
};

std::string write_blob(const BlobPlan& plan) {
  StringBuffer buffer(plan.expected_size());
  const std::size_t size = plan.write(buffer);
  return std::move(buffer).take(size);
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
