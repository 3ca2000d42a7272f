#include "serialize/blob_reader.hpp"

#include <algorithm>
#include <optional>
#include <vector>

#include "serialize/blob_format.hpp"
#include "serialize/byte_reader.hpp"
#include "serialize/node_record_reader.hpp"
#include "support/cancellation.hpp"

namespace quorvel {

Outcome<std::unique_ptr<GraphStore>, DecodeError> deserialize(std::string_view bytes) {
  if (bytes.size() < kBlobMagic.size()) return failure(DecodeError::truncated());
  if (bytes.substr(0, kBlobMagic.size()) != kBlobMagic) return failure(DecodeError::bad_magic());
  Reader reader(bytes, kBlobMagic.size());
  auto node_count = reader.u32();
  if (!node_count) return failure(node_count.error());

  // Every record takes at least one byte, so a node count larger than the
  // input can hold ends in Truncated after at most that many records.
  auto store = std::make_unique<GraphStore>();
  // Room for the promised nodes, but never more than the remaining bytes
  // can hold: the smallest record takes kMinRecordBytes.
  store->reserve(std::min<std::size_t>(node_count.value(), reader.remaining() / kMinRecordBytes));
  // Records are decoded in small batches and interned together, which lets
  // the store fetch index slots ahead. A decode error is reported only
  // after the records before it were interned, so an error those records
  // cause (a reference left dangling by merged records) still comes first.
  constexpr std::size_t kBatch = 64;
  std::vector<NodeKey> batch;
  batch.reserve(kBatch);
  auto flush = [&]() -> std::optional<DecodeError> {
    auto done = store->intern_batch(batch);
    batch.clear();
    if (!done) return DecodeError::bad_ref(done.error().id);
    return std::nullopt;
  };
  // A cancellation drops the half-filled store.
  CancellationPoller cancellation;
  for (std::uint32_t j = 0; j < node_count.value(); ++j) {
    cancellation.tick();
    if (read_common_record(reader, j, batch)) {
      if (batch.size() == kBatch) {
        if (auto error = flush()) return failure(*error);
      }
      continue;
    }
    auto key = read_node_record(reader, j);
    if (!key) {
      if (auto earlier = flush()) return failure(*earlier);
      return failure(key.error());
    }
    batch.push_back(std::move(key.value()));
    if (batch.size() == kBatch) {
      if (auto error = flush()) return failure(*error);
    }
  }
  if (auto error = flush()) return failure(*error);

  auto output_count = reader.u32();
  if (!output_count) return failure(output_count.error());
  for (std::uint32_t i = 0; i < output_count.value(); ++i) {
    auto id = reader.u64();
    if (!id) return failure(id.error());
    auto marked = store->mark_output(id.value());
    if (!marked) return failure(DecodeError::bad_ref(marked.error().id));
  }
  return store;
}

}  // namespace quorvel
