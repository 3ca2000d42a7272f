// Hand-assembled blob bytes for the reader and layout tests. Integers are
// spelled out byte by byte, independently of the writer's own helpers.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace quorvel::blob_test {

struct Bytes {
  std::string s;

  Bytes& raw(std::string_view t) {
    s.append(t);
    return *this;
  }
  Bytes& u8(unsigned v) {
    s.push_back(static_cast<char>(v));
    return *this;
  }
  Bytes& u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return *this;
  }
  Bytes& u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return *this;
  }
  Bytes& str(std::string_view t) {
    u32(static_cast<std::uint32_t>(t.size()));
    return raw(t);
  }
  // A Source record without parameters.
  Bytes& source(std::string_view name) { return u8(0).str(name).u32(0); }
  // An Op record without parameters.
  Bytes& op(std::string_view name, std::initializer_list<std::uint64_t> inputs) {
    u8(1).str(name).u32(0).u32(static_cast<std::uint32_t>(inputs.size()));
    for (std::uint64_t id : inputs) u64(id);
    return *this;
  }
  Bytes& outputs(std::initializer_list<std::uint64_t> ids) {
    u32(static_cast<std::uint32_t>(ids.size()));
    for (std::uint64_t id : ids) u64(id);
    return *this;
  }
};

// "QIR1" and the node count.
inline Bytes header(std::uint32_t nodes) { return Bytes{}.raw("QIR1").u32(nodes); }

inline std::string octets(std::initializer_list<unsigned> values) {
  std::string out;
  for (unsigned v : values) out.push_back(static_cast<char>(v));
  return out;
}

}  // namespace quorvel::blob_test
