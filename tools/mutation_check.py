#!/usr/bin/env python3
"""Checks that the C++ tests catch a fixed list of one-line faults.

Each mutation changes one line of the library, rebuilds the two C++ test
executables and runs them; the mutation is caught when a test fails (or the
run crashes or times out). The source is restored after every mutation,
also when the run is interrupted. Prints a Markdown table and exits 1 if a
mutation was missed or does not apply any more.

    python3 tools/mutation_check.py [--build-dir build/cpp] [--only SUBSTRING]

The build directory must be configured with QUORVEL_BUILD_TESTS=ON (see
docs/reliability.md). It takes a few minutes on two cores: it is not part
of the test command.
"""

import argparse
import os
import pathlib
import re
import signal
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent

# (file, the line as it is, the line as the mutation writes it, what the fault is)
MUTATIONS = [
    ("src/support/shared_text.cpp",
     "  std::memcpy(bytes, text.data(), text.size());",
     "",
     "an owned text does not copy its bytes"),
    ("src/support/keyed_hash.cpp",
     "  const std::uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);",
     "  const std::uint64_t n = counter.load(std::memory_order_relaxed);",
     "every table gets the same hash key"),
    ("src/param/param_value.cpp",
     "  if (std::isnan(value)) return kCanonicalNanBits;",
     "",
     "NaN payloads are not made canonical"),
    ("src/param/param_map.cpp",
     "      for (std::size_t j = i; j > 0 && by_name(entries[j], entries[j - 1]); --j) std::swap(entries[j], entries[j - 1]);",
     "      for (std::size_t j = i; j > 1 && by_name(entries[j], entries[j - 1]); --j) std::swap(entries[j], entries[j - 1]);",
     "the insertion sort never moves an entry to the front"),
    ("src/node/node_key.cpp",
     "  if (a.kind_ == NodeKind::Stage) return a.members_value() == b.members_value();",
     "",
     "stage keys are equal whatever their members"),
    ("src/node/node_key.cpp",
     "  if (a.kind_ != b.kind_ || !(a.params_ == b.params_)) return false;",
     "  if (a.kind_ != b.kind_) return false;",
     "nodes that differ only in their params are taken for one operator"),
    ("src/support/open_table.hpp",
     "      std::size_t i = hash_of(old[k]) & mask;",
     "      std::size_t i = k & mask;",
     "a growing table files entries away from their home slots"),
    ("src/support/open_table.hpp",
     "      if (stays) continue;",
     "",
     "a removal moves an entry back past its home slot"),
    ("src/store/node_index.hpp",
     "      return slot.tag == tag && arena[slot.id_plus_one - 1] == key;",
     "      return slot.tag == tag;",
     "a 32-bit tag match is taken for an equal key"),
    ("src/store/graph_store.cpp",
     "      for (std::size_t i = before; i < inner.outputs.size(); ++i) inner.output_set.erase(inner.outputs[i]);",
     "",
     "mark_outputs keeps the set entries of a failed call"),
    ("src/store/graph_store.cpp",
     "      inner.outputs.resize(before);",
     "",
     "mark_outputs keeps the list entries of a failed call"),
    ("src/serialize/byte_reader.cpp",
     "  if (remaining() < n) return failure(DecodeError::truncated());\n  const std::string_view text(pos_, n);",
     "  const std::string_view text(pos_, n);",
     "a string's length is not checked against the bytes left"),
    ("src/serialize/utf8_validation.cpp",
     "      if (lead == 0xED) second_max = 0x9F;",
     "",
     "encoded surrogates pass as UTF-8"),
    ("src/egraph/egraph.cpp",
     "  pending_.insert(pending_.end(), lost.parents.begin(), lost.parents.end());",
     "",
     "a union does not revisit the parents of the merged class (no congruence)"),
    ("src/egraph/pattern.cpp",
     "    if (node.arity() != bind.arity) continue;",
     "",
     "the flat search matches nodes of any arity"),
    ("src/egraph/runner.cpp",
     "  if (iterations_.size() >= iter_limit_) return StopReason::iteration_limit(iterations_.size());",
     "  if (iterations_.size() > iter_limit_) return StopReason::iteration_limit(iterations_.size());",
     "the runner makes one iteration more than its limit"),
    ("src/optimizer/engine/rule_set.cpp",
     '      scalar_op_token("mul", 1.0, "l"),',
     '      scalar_op_token("mul", 1.0, "r"),',
     "the left multiply-by-one rule is lost"),
    ("src/optimizer/engine/engine_inputs.cpp",
     "  if (widest > std::numeric_limits<std::uint32_t>::max()) {",
     "  if (widest > std::numeric_limits<std::uint64_t>::max()) {",
     "positions past 32 bits are truncated"),
    ("src/optimizer/mod/cse_node_table.hpp",
     "                 std::equal(inputs.begin(), inputs.end(), node.inputs.begin());",
     "                 true;",
     "CSE compares operator and input count but not the inputs"),
    ("src/optimizer/mod/common_subexpressions.cpp",
     "      result.cse_index[i] = held;",
     "      result.cse_index[i] = position;",
     "a repeated node maps to a position that is never filled"),
    ("src/optimizer/mod/dead_code_elimination.cpp",
     "      reached[input] = 1;",
     "",
     "dead-code elimination keeps only the outputs"),
    ("src/optimizer/mod/stage_fusion.cpp",
     "    if (nodes[i].barrier || is_output[i]) continue;",
     "    if (nodes[i].barrier) continue;",
     "single-use fusion folds an output into its one consumer"),
    ("src/optimizer/incremental/incremental_reducer.cpp",
     "    ~CountConsumed() { reducer.total_work_ += reducer.store_to_canonical_.size() - start; }",
     "    ~CountConsumed() {}",
     "incremental steps do not count their work"),
    ("src/derivation/derived_stores.cpp",
     "  store->set_node_map(std::move(r.node_map));",
     "",
     "a reduced store has no node map"),
    ("src/node/node_inputs.hpp",
     "    const bool fits = n <= kInline && std::all_of(ids, ids + n, [](NodeId id) { return id < kHeapMark; });",
     "    const bool fits = n <= kInline;",
     "an inline input list takes the ids that mark its unused words"),
    ("src/param/param_map.hpp",
     "    return (raw_[1] & ~kInlineNan) | ((raw_[1] & kInlineNan) != 0 ? kHasNan : 0);",
     "    return raw_[1] & ~kInlineNan;",
     "a map kept inside forgets that it holds a NaN"),
    ("src/serialize/record_encoding.cpp",
     "        run(at, name + 2);",
     "        run(at, name + 1);",
     "a Bool entry's value byte is left out of the blob"),
    ("src/store/node_arena.hpp",
     "    const std::size_t in_block = (chunks_.size() - kHeapChunks) % kChunksPerBlock;",
     "    const std::size_t in_block = (chunks_.size() - kHeapChunks + 1) % kChunksPerBlock;",
     "arena chunks are carved from the wrong place in their block"),
    ("src/support/open_table.hpp",
     "    storage_.set_freed(freed_);",
     "",
     "a growing table keeps its old storage although told to unmap it"),
    ("src/serialize/byte_reader.cpp",
     "  if ((((head & head_mask) | (tail & tail_mask)) & 0x8080808080808080ULL) != 0) return std::nullopt;",
     "  if (((head & head_mask) & 0x8080808080808080ULL) != 0) return std::nullopt;",
     "a short name's bytes past the eighth are not checked as UTF-8"),
    ("src/node/node_key.cpp",
     "    if (param_words > 3) h.word(params[3]);",
     "",
     "the hash leaves out the last word of a full map held inside its key"),
    ("src/serialize/blob_writer.cpp",
     "    at = room.data() + written;",
     "    at = room.data();",
     "a growing blob's writer loses its place when its buffer grows"),
    ("src/optimizer/engine/builtin_run_replay.cpp",
     "    if (second < first && sorted(i)) std::swap(first, second);",
     "",
     "the replay files an applied commute rule's node with its inputs unsorted"),
    ("src/optimizer/engine/builtin_run_replay.cpp",
     "    if (!rules[r].commutes || (applied >> r & 1u) != 0) return all.matches[r];",
     "    return all.matches[r];",
     "an unapplied commute rule's count is bounded by its applied count"),
    ("src/optimizer/engine/builtin_run_replay.cpp",
     "        if (!rules[r].commutes || all.unequal[r] != 0) {",
     "        if (true) {",
     "a commute rule applied for the first time is taken for a change even when its inputs are one class"),
    ("src/optimizer/engine/builtin_run_replay.cpp",
     "    bound += parents[c] * moves;",
     "",
     "the quick bound on the e-graph's size leaves out stale entries"),
    ("src/egraph/backoff_scheduler.cpp",
     "  if (matches > threshold(name)) {",
     "  if (matches >= threshold(name)) {",
     "a rule exactly at its threshold is banned"),
    ("src/egraph/symbol_table.cpp",
     "  head_bits_[bit / 64].fetch_or(std::uint64_t{1} << (bit % 64), std::memory_order_release);",
     "",
     "the heads filter never learns the heads of added texts"),
]

TESTS = ["quorvel_core_tests", "quorvel_egraph_tests"]


def end_group(process):
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def run(cmd, timeout):
    """Runs cmd in its own process group, which is ended with it on a timeout
    or an interruption (so no compiler outlives an aborted check)."""
    p = subprocess.Popen(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace",
                         start_new_session=True)
    try:
        out, _ = p.communicate(timeout=timeout)
        return p.returncode, out
    except subprocess.TimeoutExpired:
        end_group(p)
        p.communicate()
        return None, "timed out"
    except BaseException:
        end_group(p)
        p.wait()
        raise


def check(build_dir, path, before, after):
    """Returns (outcome, detail): caught, MISSED or does not apply."""
    source = ROOT / path
    original = source.read_text()
    if original.count(before) != 1:
        return "does not apply", "line not found exactly once"
    try:
        source.write_text(original.replace(before, after))
        code, out = run(["nice", "cmake", "--build", build_dir, "-j2", "--target", *TESTS], timeout=1800)
        if code != 0:
            return "does not build", out.strip().splitlines()[-1] if out.strip() else ""
        failed = []
        for test in TESTS:
            code, out = run([f"{build_dir}/tests/cpp/{test}", "--gtest_brief=1"], timeout=600)
            if code is None:
                failed.append(f"{test}: timed out")
            elif code != 0:
                names = re.findall(r"^\[  FAILED  \] ([^\s,]+)", out, re.M)
                failed.extend(dict.fromkeys(names) or [f"{test}: exit {code}"])
        return ("caught", failed) if failed else ("MISSED", [])
    finally:
        source.write_text(original)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default="build/cpp")
    parser.add_argument("--only", default="", help="run the mutations whose file contains this text")
    args = parser.parse_args()
    print("| File | Line | Mutation | Outcome | Failing tests (first three) |")
    print("|---|---|---|---|---|")
    bad = 0
    for path, before, after, what in MUTATIONS:
        if args.only not in path:
            continue
        text = (ROOT / path).read_text()
        line = text[: text.find(before)].count("\n") + 1 if before in text else "?"
        outcome, detail = check(args.build_dir, path, before, after)
        bad += outcome != "caught"
        shown = ", ".join(f"`{name}`" for name in detail[:3]) if isinstance(detail, list) else detail
        if isinstance(detail, list) and len(detail) > 3:
            shown += f" (+{len(detail) - 3})"
        print(f"| `{path}` | {line} | {what} | {outcome} | {shown} |", flush=True)
    # Leave the build matching the restored sources.
    run(["nice", "cmake", "--build", args.build_dir, "-j2", "--target", *TESTS], timeout=1800)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
