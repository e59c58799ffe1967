// Scoped access to one AXI GPIO block: mapped on construction, released on
// every path out of the operation that uses it.
#pragma once

#include <qelt/qelt.h>

#include <cstdint>

namespace qelt {

class gpio_block {
  public:
    explicit gpio_block(std::uint32_t base);
    ~gpio_block();
    gpio_block(const gpio_block &) = delete;
    gpio_block &operator=(const gpio_block &) = delete;

    // False when the page could not be mapped; no access may be made then.
    bool ok() const { return mapped_; }

    std::uint32_t read(std::uint32_t offset);
    void write(std::uint32_t offset, std::uint32_t value);

  private:
    qelt_gpio handle_{};
    bool mapped_ = false;
};

// Routes the SPI chip selects and the PL I2C bus to one slice. False when
// the slice select block could not be mapped (already reported).
bool select_slice(std::uint8_t slice);

} // namespace qelt
