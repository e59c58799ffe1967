// Requests and responses of the word protocol as a client builds them.
#pragma once

#include <endian.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace qelt_test {

// Words of a COMMAND text: four characters to a word, first character in
// the least significant byte, zero-terminated and padded.
inline std::vector<std::uint32_t> text_words(const std::string &text)
{
    std::vector<std::uint32_t> words(text.size() / 4 + 1, 0);
    for (std::size_t i = 0; i < text.size(); ++i)
        words[i / 4] |= std::uint32_t{static_cast<std::uint8_t>(text[i])} << (8 * (i % 4));
    return words;
}

// A request: the five header words and the payload.
inline std::vector<std::uint32_t> request(std::uint32_t magic, std::uint64_t addr, std::uint32_t length,
                                          std::uint32_t options = 0,
                                          const std::vector<std::uint32_t> &payload = {})
{
    std::vector<std::uint32_t> words{magic, static_cast<std::uint32_t>(addr),
                                     static_cast<std::uint32_t>(addr >> 32), length, options};
    words.insert(words.end(), payload.begin(), payload.end());
    return words;
}

// A COMMAND request or response carrying text.
inline std::vector<std::uint32_t> text_message(std::uint32_t magic, const std::string &text)
{
    const std::vector<std::uint32_t> t = text_words(text);
    return request(magic, 0, static_cast<std::uint32_t>(t.size()), 0, t);
}
inline std::vector<std::uint32_t> command_request(const std::string &text)
{
    return text_message(0xda010003, text);
}
inline std::vector<std::uint32_t> command_response(const std::string &reply)
{
    return text_message(0xad010003, reply);
}

// Big-endian, as on the wire.
inline std::vector<std::uint8_t> wire_bytes(const std::vector<std::uint32_t> &words)
{
    std::vector<std::uint8_t> bytes(4 * words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::uint32_t w = htobe32(words[i]);
        std::memcpy(&bytes[4 * i], &w, 4);
    }
    return bytes;
}

} // namespace qelt_test
