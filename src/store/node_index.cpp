#include "store/node_index.hpp"

namespace quorvel {

NodeIndex::NodeIndex() : key_(fresh_hash_key()) {}

}  // namespace quorvel
