// Escaping of the four characters that structure a token: % ; = |
#pragma once

#include <string>
#include <string_view>

namespace quorvel {

// Replaces "%" by "%25" first, then ";" by "%3B", "=" by "%3D", "|" by "%7C".
std::string escape_token(std::string_view text);
void append_escaped_token(std::string& out, std::string_view text);

// Replaces "%7C", "%3D", "%3B" and last "%25" by the characters they stand
// for; any other percent sequence is left as it is.
std::string unescape_token(std::string_view text);

}  // namespace quorvel
