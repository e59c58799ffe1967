// The server's IPv4 address on "eth0", as a word whose bits 0..7 hold the
// first octet of the dotted form (10.10.1.7 is 0x07010A0A).
#pragma once

#include <cstdint>
#include <optional>

// 1 and the address stored when eth0 has an IPv4 address, else 0.
int get_eth0_ipv4(std::uint32_t *address);
// Assigns address and netmask to eth0; returns the address value.
std::uint32_t set_static_ipv4(const char *ip4_addr_string, const char *netmask);
// Waits up to 5 x 3 s for an address on eth0, then assigns the fixed one.
// Nothing when a stop signal ended the wait (eth0 is left alone then).
std::optional<std::uint32_t> acquire_server_address(int port);
