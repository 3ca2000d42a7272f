#include "serialize/node_map_record.hpp"

#include <cstdint>
#include <optional>
#include <string>

#include "serialize/blob_format.hpp"
#include "serialize/blob_writer.hpp"
#include "serialize/byte_sink.hpp"
#include "serialize/little_endian.hpp"

namespace quorvel {

namespace {

constexpr std::string_view kNodeMapMagic{"QNM1", 4};
constexpr std::size_t kHeaderBytes = 8;
constexpr std::size_t kEntryBytes = 8;

NodeMapRecordError refused(std::string text) { return NodeMapRecordError{"invalid node map: " + std::move(text)}; }

}  // namespace

std::string encode_node_map(const NodeMap& map) {
  if (map.size() > kBlobMaxCount) throw BlobTooLarge();
  std::string bytes(kHeaderBytes + map.size() * kEntryBytes, '\0');
  ByteSink sink(bytes.data(), bytes.data() + bytes.size());
  sink.bytes(kNodeMapMagic);
  sink.count(map.size());
  for (const NodeMapSlot& slot : map) {
    if (!slot) {
      sink.u32(0);
      sink.u32(0);
      continue;
    }
    const NodeMapEntry entry = *slot;
    // id + 1 and member + 1 must fit: ids and member indexes below the u32 limit.
    if (entry.id >= kBlobMaxCount || (entry.member && *entry.member >= kBlobMaxCount)) throw BlobTooLarge();
    sink.u32(static_cast<std::uint32_t>(entry.id + 1));
    sink.u32(entry.member ? static_cast<std::uint32_t>(*entry.member + 1) : 0);
  }
  check_invariant(sink.exactly_filled(), "a node map record fills its measured size", "size mismatch");
  return bytes;
}

Outcome<NodeMap, NodeMapRecordError> decode_node_map(std::string_view bytes, const GraphStore& store) {
  if (bytes.size() < kHeaderBytes || bytes.substr(0, kNodeMapMagic.size()) != kNodeMapMagic) {
    return failure(refused("not a quorvel node map record"));
  }
  const std::uint64_t count = load_u32_le(bytes.data() + kNodeMapMagic.size());
  // The count is checked against the bytes before anything is allocated.
  if ((bytes.size() - kHeaderBytes) / kEntryBytes != count || (bytes.size() - kHeaderBytes) % kEntryBytes != 0) {
    return failure(refused("its length does not match its " + std::to_string(count) + " entries"));
  }
  NodeMap map;
  map.reserve(count);
  std::optional<NodeMapRecordError> error;
  store.read_locked([&](const GraphStore::View& view) {
    const char* at = bytes.data() + kHeaderBytes;
    for (std::uint64_t i = 0; i < count; ++i, at += kEntryBytes) {
      const std::uint32_t id_field = load_u32_le(at);
      const std::uint32_t member_field = load_u32_le(at + 4);
      const auto entry = [i] { return "entry " + std::to_string(i); };
      if (id_field == 0) {
        if (member_field != 0) {
          error = refused(entry() + " is dropped but names member " + std::to_string(member_field - 1));
          return;
        }
        map.push_back(std::nullopt);
        continue;
      }
      const NodeId id = id_field - 1;
      if (id >= view.size()) {
        error = refused(entry() + " names no node " + std::to_string(id));
        return;
      }
      if (member_field == 0) {
        map.push_back(NodeMapEntry{id, std::nullopt});
        continue;
      }
      const std::size_t member = member_field - 1;
      const NodeKey& node = view[id];
      if (node.kind() != NodeKind::Stage || member >= node.members().size()) {
        error = refused(entry() + " names member " + std::to_string(member) + " of node " + std::to_string(id) +
                        (node.kind() == NodeKind::Stage
                             ? ", a stage of " + std::to_string(node.members().size()) + " members"
                             : ", which is not a stage"));
        return;
      }
      map.push_back(NodeMapEntry{id, member});
    }
  });
  if (error) return failure(std::move(*error));
  return map;
}

}  // namespace quorvel
