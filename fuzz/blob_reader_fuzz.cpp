// libFuzzer harness for the blob reader. Any input must either be rejected
// with a DecodeError or give a store whose own blob reads back to a store
// that writes the very same bytes; the blob cut by one byte must be
// rejected as truncated. Sanitizers catch memory and undefined-behaviour
// faults along the way.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "serialize/blob_reader.hpp"
#include "serialize/blob_writer.hpp"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "blob_reader_fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorvel;
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  auto first = deserialize(input);
  if (!first.ok()) {
    if (first.error().message().empty()) fail("decode error without a message");
    return 0;
  }

  const std::string blob = serialize_with_marks(*first.value());
  auto second = deserialize(blob);
  if (!second.ok()) fail(("written blob does not read back: " + second.error().message()).c_str());
  if (second.value()->node_count() != first.value()->node_count()) fail("node count changed on a round trip");
  if (second.value()->outputs() != first.value()->outputs()) fail("outputs changed on a round trip");
  if (serialize_with_marks(*second.value()) != blob) fail("round trip is not byte-identical");

  auto cut = deserialize(std::string_view(blob).substr(0, blob.size() - 1));
  if (cut.ok() || cut.error() != DecodeError::truncated()) fail("a blob cut by one byte is not reported truncated");
  return 0;
}
