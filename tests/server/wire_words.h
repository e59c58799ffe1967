// Requests and responses of the word protocol as a client builds them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qelt_test {

// Words of a COMMAND text: four characters to a word, first character in
// the least significant byte, zero-terminated and padded.
std::vector<std::uint32_t> text_words(const std::string &text);
// A request: the five header words and the payload.
std::vector<std::uint32_t> request(std::uint32_t magic, std::uint64_t addr, std::uint32_t length,
                                   std::uint32_t options = 0, const std::vector<std::uint32_t> &payload = {});
std::vector<std::uint32_t> command_request(const std::string &text);
std::vector<std::uint32_t> command_response(const std::string &reply);
// Big-endian, as on the wire.
std::vector<std::uint8_t> wire_bytes(const std::vector<std::uint32_t> &words);

} // namespace qelt_test
