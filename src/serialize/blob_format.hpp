// Constants of the IR blob layout shared by the writer and the reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvel {

// "QIR1": the last character is the format version; there is no other
// version field.
inline constexpr std::string_view kBlobMagic{"QIR1", 4};

// Magic plus the u32 node count.
inline constexpr std::size_t kBlobHeaderBytes = 8;

// Every length, count and stage reference index is written as a u32.
inline constexpr std::uint64_t kBlobMaxCount = 0xFFFFFFFFULL;

// Value tags of parameter values (the ParamKind order) and of stage
// references (the StageRef::Kind order); node tags are the NodeKind order.
inline constexpr std::uint8_t kParamTagCount = 4;
inline constexpr std::uint8_t kStageRefTagCount = 2;

// Smallest encodings, used to bound how much a count read from a blob may
// reserve: a parameter entry is at least an empty name, a tag and a Bool
// byte; a stage member an empty token and a reference count; a reference a
// tag and a u32 index.
// The smallest node record: its tag and at least two u32 counts (a Source's
// name and parameter list; Stage, Exchange and Join lists likewise).
inline constexpr std::size_t kMinRecordBytes = 1 + 4 + 4;

inline constexpr std::size_t kMinParamEntryBytes = 4 + 1 + 1;
inline constexpr std::size_t kMinNodeIdBytes = 8;
inline constexpr std::size_t kMinStageMemberBytes = 4 + 4;
inline constexpr std::size_t kMinStageRefBytes = 1 + 4;

}  // namespace quorvel
