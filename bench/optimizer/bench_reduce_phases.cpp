// Reduces mixed pipeline graphs and prints where the time goes, phase by
// phase, next to the cost of interning the same nodes into a store.
//
//   bench_reduce_phases [--repeat R] [nodes ...]   (default 3; 10000 100000 1000000)
//   bench_reduce_phases [--repeat R] --blob FILE ...
//
// With --blob, each FILE is an IR blob (GraphStore.serialize) reduced
// against the outputs it marks, e.g. the graphs of bench/bench_reduce.py.
//
// Each size is reduced R times; the figures are those of the fastest run,
// with the page faults it took (fresh memory the kernel had to hand out).
//
// The graph mixes what real pipelines hold: chains of unary ops, fan-outs,
// commutative binary ops present in both argument orders, add-zero and
// multiply-by-one ops, near-identities, dead branches, reductions, joins,
// exchanges and external model calls. About one node in eight hangs off a
// dead branch; the outputs are the live sinks.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "derivation/derived_stores.hpp"
#include "optimizer/engine/saturation_engine.hpp"
#include "optimizer/mod/reduce_with_mode.hpp"
#include "serialize/blob_reader.hpp"
#include "store/graph_store.hpp"
#include "support/hash_mix.hpp"

namespace {

using namespace quorvel;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t below(std::uint64_t bound) { return mix64(state_ += 0x9e3779b97f4a7c15ULL) % bound; }

 private:
  std::uint64_t state_;
};

ParamMap params(std::vector<ParamEntry> entries) { return ParamMap(std::move(entries)); }

ParamMap scalar(double value, const char* side) {
  return params({{"scalar", ParamValue::floating(value)}, {"side", ParamValue::text(side)}});
}

struct Graph {
  std::vector<NodeKey> nodes;
  NodeIds outputs;
};

// Live nodes are appended to a growing frontier; dead branches hang off it
// but are never used again.
Graph make_graph(std::size_t n) {
  static const char* const kCommutative[] = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};
  static const char* const kUnary[] = {"neg", "exp", "log", "abs", "cast"};
  Graph g;
  Random random(0x5eed);
  NodeIds live;
  auto recent = [&]() -> NodeId {
    const std::size_t window = live.size() < 32 ? live.size() : 32;
    return live[live.size() - 1 - random.below(window)];
  };
  // Interned as it is built, so that a repeated key yields the earlier id.
  GraphStore store;
  auto push = [&](NodeKey key, bool alive = true) {
    const NodeId id = store.intern(std::move(key)).value();
    if (alive && (live.empty() || id > live.back())) live.push_back(id);
    return id;
  };
  std::size_t sources = 0;
  while (store.node_count() < n) {
    const std::uint64_t roll = live.size() < 2 ? 0 : random.below(100);
    if (roll < 3) {
      push(NodeKey::source("table", params({{"path", ParamValue::text("s3://b/t" + std::to_string(sources++))}})));
    } else if (roll < 33) {
      push(NodeKey::op(kUnary[random.below(5)], ParamMap(), {recent()}));
    } else if (roll < 53) {
      const char* name = kCommutative[random.below(8)];
      const NodeId a = recent(), b = recent();
      push(NodeKey::op(name, ParamMap(), {a, b}));
      if (random.below(2) == 0) push(NodeKey::op(name, ParamMap(), {b, a}));
    } else if (roll < 61) {
      static const char* const kSide[] = {"r", "l"};
      const bool add = random.below(2) == 0;
      push(NodeKey::op(add ? "add" : "mul", scalar(add ? 0.0 : 1.0, kSide[random.below(2)]), {recent()}));
    } else if (roll < 65) {
      push(NodeKey::op("add", scalar(random.below(2) ? -0.0 : 2.0, "r"), {recent()}));
    } else if (roll < 72) {
      push(NodeKey::op("sub", ParamMap(), {recent(), recent()}));
    } else if (roll < 85) {
      // A dead branch: used by nothing that is live.
      push(NodeKey::op("debug_print", ParamMap(), {recent()}), false);
    } else if (roll < 89) {
      push(NodeKey::reduction("sum", params({{"axis", ParamValue::integer(0)}}), {recent()}));
    } else if (roll < 93) {
      push(NodeKey::join(params({{"how", ParamValue::text("inner")}}), {recent(), recent()}));
    } else if (roll < 97) {
      push(NodeKey::exchange(params({{"scheme", ParamValue::text("hash")}}), {recent()}));
    } else {
      PayloadDescriptor d{"onnx", "sha256:" + std::to_string(random.below(64)), "onnxruntime", "1.18", "f32->f32",
                          std::nullopt};
      push(NodeKey::external(std::move(d), ParamMap(), {recent()}));
    }
  }
  g.nodes = store.snapshot().nodes;
  // Every live node that nothing uses is an output (a pipeline's sinks).
  std::vector<std::uint8_t> used(g.nodes.size(), 0);
  for (const NodeKey& key : g.nodes) {
    for (NodeId input : key.inputs()) used[input] = 1;
  }
  for (NodeId id : live) {
    if (!used[id]) g.outputs.push_back(id);
  }
  return g;
}

long minor_faults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

// The nodes of a blob, and the outputs it marks; exits on a bad file.
Graph read_blob(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    std::fprintf(stderr, "cannot open %s\n", path);
    std::exit(2);
  }
  std::string bytes;
  char buffer[1 << 16];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) bytes.append(buffer, got);
  std::fclose(file);
  auto store = deserialize(bytes);
  if (!store) {
    std::fprintf(stderr, "%s is not a blob: %s\n", path, store.error().message().c_str());
    std::exit(2);
  }
  Graph g;
  g.nodes = store.value()->snapshot().nodes;
  g.outputs = store.value()->outputs();
  return g;
}

void run(const Graph& graph, int repeat) {
  GraphStore store;
  const Clock::time_point build_start = Clock::now();
  std::vector<NodeKey> keys = graph.nodes;
  store.intern_batch(keys);
  const double build = since(build_start);
  const std::size_t count = store.node_count();

  const SaturationEngine engine;
  struct Run {
    double copy_time = 0, new_store = 0, total = 0;
    long faults = 0;
    ReductionTimings t;
    ReductionCounters counters;
    std::size_t derived_nodes = 0;
  };
  Run best;
  std::string all_runs;
  // Each run's store is dropped after the next run, as in a caller that
  // replaces its result: the heap then recycles the memory of the one before
  // instead of handing it back to the system and faulting it in again.
  DerivedStore previous;
  for (int r = 0; r < repeat; ++r) {
    Run run;
    const long faults_before = minor_faults();
    const Clock::time_point start = Clock::now();
    // What the store's reduce does: read the keys in place, no copy.
    auto copy = store.frozen_holding(graph.outputs);
    run.copy_time = since(start);
    Reduced reduced = reduce_with_mode(copy.value(), graph.outputs, engine, false, &run.t);
    run.counters = reduced.counters;
    const Clock::time_point store_start = Clock::now();
    DerivedStore derived = from_reduced(std::move(reduced));
    run.new_store = since(store_start);
    run.total = since(start);
    run.faults = minor_faults() - faults_before;
    run.derived_nodes = derived.store->node_count();
    previous = std::move(derived);
    all_runs.push_back(' ');
    all_runs.append(std::to_string(static_cast<long>(run.total * 1e3 + 0.5)));
    if (r == 0 || run.total < best.total) best = run;
  }
  const ReductionTimings& t = best.t;
  const ReductionCounters& counters = best.counters;
  const double copy_time = best.copy_time, new_store = best.new_store, total = best.total;

  const double m = static_cast<double>(count) / 1e6;
  auto row = [&](const char* phase, double seconds) {
    std::printf("  %-22s %8.1f ms  %7.2f M nodes/s\n", phase, seconds * 1e3, m / seconds);
  };
  std::printf("%zu nodes (input %zu, reachable %zu, canonical %zu, stages %zu, boundary %zu, reduced %zu)\n", count,
              counters.input_nodes, counters.reachable_nodes, counters.canonical_nodes, counters.stages,
              counters.boundary_nodes, counters.reduced_nodes);
  row("view of the store", copy_time);
  row("dead-code elimination", t.dead_code);
  row("engine graph", t.engine_graph);
  row("engine", t.engine);
  row("cse", t.cse);
  row("fusion + node map", t.fusion);
  row("new store", new_store);
  row("total", total);
  std::printf("  every run (ms)        %s\n", all_runs.c_str());
  row("baseline: build store", build);
  std::printf("  page faults           %8ld   (%.1f per node)\n", best.faults,
              static_cast<double>(best.faults) / static_cast<double>(count));
  std::printf("  reduce / build        %8.2fx\n\n", total / build);
  if (best.derived_nodes != counters.reduced_nodes) std::printf("  (new store merged equal nodes)\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::size_t> sizes;
  std::vector<const char*> blobs;
  int repeat = 3;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--blob") == 0 && i + 1 < argc) {
      blobs.push_back(argv[++i]);
    } else {
      sizes.push_back(std::strtoull(argv[i], nullptr, 10));
    }
  }
  for (const char* path : blobs) run(read_blob(path), repeat);
  if (!blobs.empty() && sizes.empty()) return 0;
  if (sizes.empty()) sizes = {10000, 100000, 1000000};
  for (std::size_t n : sizes) run(make_graph(n), repeat);
  return 0;
}
