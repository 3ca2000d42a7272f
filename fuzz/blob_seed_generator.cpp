// Writes a small corpus of valid blobs for the blob reader fuzzer:
//   blob_seed_generator DIR
#include <bit>
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "serialize/blob_writer.hpp"

namespace {

using namespace quorvel;

void add(GraphStore& store, NodeKey key) {
  if (!store.intern(std::move(key)).ok()) {
    std::fprintf(stderr, "seed store refused a node\n");
    std::exit(1);
  }
}

ParamMap every_value_kind() {
  return ParamMap({{"i", ParamValue::integer(-7)},
                   {"f", ParamValue::floating(0.25)},
                   {"nan", ParamValue::floating(std::bit_cast<double>(0x7FF0000000000001ULL))},
                   {"b", ParamValue::boolean(true)},
                   {"s", ParamValue::text("x|y;z=é")}});
}

std::vector<std::pair<std::string, std::string>> seeds() {
  std::vector<std::pair<std::string, std::string>> out;

  GraphStore empty;
  out.emplace_back("empty", serialize_with_marks(empty));

  GraphStore one;
  add(one, NodeKey::source("a", {}));
  (void)one.mark_output(0);
  out.emplace_back("one_source", serialize_with_marks(one));

  GraphStore all;
  add(all, NodeKey::source("tbl", every_value_kind()));
  add(all, NodeKey::source("", {}));
  add(all, NodeKey::op("add", ParamMap({{"k", ParamValue::integer(2)}}), {0, 1, 0}));
  add(all, NodeKey::reduction("sum", {}, {2}));
  add(all, NodeKey::external({"onnx", "h1", "ort", "1.2", "{}", std::nullopt}, {}, {3}));
  add(all, NodeKey::external({"onnx", "h1", "ort", "1.2", "{}", "pre"}, every_value_kind(), {3, 4}));
  add(all, NodeKey::stage({2, 3}, {StageOp{"op|a", {StageRef::input(0)}},
                                   StageOp{"op|b|k=i1", {StageRef::member(0), StageRef::input(1)}},
                                   StageOp{"op|c", {StageRef::member(1), StageRef::member(0)}}}));
  add(all, NodeKey::exchange(ParamMap({{"scheme", ParamValue::text("hash")}}), {6}));
  add(all, NodeKey::join({}, {7, 5}));
  add(all, NodeKey::op("ñ名🙂", {}, {}));
  (void)all.mark_output(8);
  (void)all.mark_output(9);
  out.emplace_back("every_kind", serialize_with_marks(all));
  out.emplace_back("every_kind_repeated_outputs", serialize_with(all, {8, 8, 0}));

  GraphStore chain;
  add(chain, NodeKey::source("s", {}));
  for (NodeId i = 1; i < 64; ++i) {
    add(chain, NodeKey::op(i % 2 ? "mul" : "add", ParamMap({{"scalar", ParamValue::floating(1.0 * i)}}), {i - 1}));
  }
  (void)chain.mark_output(63);
  out.emplace_back("chain", serialize_with_marks(chain));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  for (const auto& [name, blob] : seeds()) {
    std::ofstream file(std::string(argv[1]) + "/" + name + ".qir", std::ios::binary);
    file.write(blob.data(), static_cast<std::streamsize>(blob.size()));
    if (!file) {
      std::fprintf(stderr, "cannot write %s\n", name.c_str());
      return 1;
    }
  }
  return 0;
}
