#include "eth0_address.h"

#include "stop_signal.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr char interface_name[] = "eth0";
constexpr int address_attempts = 5;
constexpr std::chrono::seconds address_wait{3};

// The network-order bytes of the address, read as a little-endian word.
std::uint32_t address_value(in_addr addr)
{
    const auto *b = reinterpret_cast<const std::uint8_t *>(&addr.s_addr);
    return b[0] | (b[1] << 8) | (b[2] << 16) | (std::uint32_t{b[3]} << 24);
}

void set_interface_address(int fd, unsigned long request, const char *text, const char *what)
{
    ifreq req{};
    std::snprintf(req.ifr_name, sizeof req.ifr_name, "%s", interface_name);
    auto *sin = reinterpret_cast<sockaddr_in *>(&req.ifr_addr);
    sin->sin_family = AF_INET;
    inet_pton(AF_INET, text, &sin->sin_addr);
    if (ioctl(fd, request, &req) < 0)
        std::printf("ERROR : %s : Failed to set %s = %s \n", std::strerror(errno), what, text);
}

} // namespace

int get_eth0_ipv4(std::uint32_t *address)
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return 0;
    int found = 0;
    for (const ifaddrs *ifa = list; ifa != nullptr && !found; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET ||
            std::strcmp(ifa->ifa_name, interface_name) != 0)
            continue;
        const in_addr addr = reinterpret_cast<const sockaddr_in *>(ifa->ifa_addr)->sin_addr;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &addr, text, sizeof text);
        std::printf("--- hwc: Server address (%s) : %s\n", ifa->ifa_name, text);
        *address = address_value(addr);
        found = 1;
    }
    freeifaddrs(list);
    return found;
}

std::uint32_t set_static_ipv4(const char *ip4_addr_string, const char *netmask)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    set_interface_address(fd, SIOCSIFADDR, ip4_addr_string, "IP address");
    set_interface_address(fd, SIOCSIFNETMASK, netmask, "Netmask");
    if (fd >= 0)
        close(fd);
    in_addr addr{};
    inet_pton(AF_INET, ip4_addr_string, &addr);
    return address_value(addr);
}

std::optional<std::uint32_t> acquire_server_address(int port)
{
    std::uint32_t address = 0;
    for (int attempts = address_attempts; attempts > 0; --attempts) {
        if (get_eth0_ipv4(&address) == 1)
            return address;
        std::printf("--- hwc: waiting for valid IPv4 address on eth0 interface\n");
        // A stop while the module boots must not go on to claim eth0.
        if (!sleep_unless_stopped(address_wait))
            return std::nullopt;
    }
    static constexpr char fixed_address[] = "10.10.1.7";
    static constexpr char fixed_netmask[] = "255.255.255.0";
    std::printf("*** hwc: timed-out waiting for IP4 address on eth0 interface\n");
    std::printf("*** hwc: setup static ip address : %s, port : %d\n", fixed_address, port);
    return set_static_ipv4(fixed_address, fixed_netmask);
}
