// SPDX-License-Identifier: MIT
// Base64, the standard alphabet with padding (RFC 4648): how a recording
// and the live page carry bytes in a JSON string without escaping them.
#ifndef ZODM_TOOLS_BASE_BASE64_H
#define ZODM_TOOLS_BASE_BASE64_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zodm::tools {

// The base64 text of size bytes at data, padded.
std::string base64(const uint8_t* data, std::size_t size);

// Decodes base64 text into bytes; false for anything but the padded
// standard form (a length that is a multiple of 4, '=' only as the last one
// or two characters, no stray bits before it). A '=' anywhere else is
// outside the alphabet.
bool unbase64(std::string_view text, std::vector<uint8_t>& bytes);

}  // namespace zodm::tools

#endif  // ZODM_TOOLS_BASE_BASE64_H
