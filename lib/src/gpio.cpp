// AXI GPIO blocks reached through /dev/mem: the handle primitives and the
// operations on the control, matrix, slice select and frame-sync blocks.
#include "board_lock.h"
#include "board_map.h"
#include "convert.h"
#include "gpio_block.h"
#include "log.h"
#include "slice_check.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

long page_size() { return sysconf(_SC_PAGESIZE); }

// A register access must stay inside the mapped page.
bool offset_in_page(const qelt_gpio *h)
{
    return h->map != nullptr && h->offset % 4 == 0 && static_cast<long>(h->offset) + 4 <= page_size();
}

volatile std::uint32_t *register_at(const qelt_gpio *h)
{
    return reinterpret_cast<volatile std::uint32_t *>(static_cast<char *>(h->map) + h->offset);
}

} // namespace

extern "C" {

int qelt_gpio_open(qelt_gpio *h)
{
    const qelt::board_lock lock;
    h->map = nullptr;
    h->fd = open("/dev/mem", O_RDWR | O_SYNC | O_CLOEXEC);
    if (h->fd < 0) {
        qelt::log_error(QELT_HERE, "can't access the gpio memory space!");
        return 1;
    }
    const long page = page_size();
    const off_t page_base = static_cast<off_t>(h->base) & ~static_cast<off_t>(page - 1);
    void *map =
        mmap(nullptr, static_cast<size_t>(page), PROT_READ | PROT_WRITE, MAP_SHARED, h->fd, page_base);
    if (map == MAP_FAILED) {
        qelt::log_error(QELT_HERE, "can't access the gpio memory space!");
        close(h->fd);
        h->fd = -1;
        return 1;
    }
    h->map = map;
    return 0;
}

int qelt_gpio_read(qelt_gpio *h)
{
    const qelt::board_lock lock;
    if (!offset_in_page(h))
        return 1;
    h->rdata = *register_at(h);
    return 0;
}

int qelt_gpio_write(qelt_gpio *h)
{
    const qelt::board_lock lock;
    if (!offset_in_page(h))
        return 1;
    *register_at(h) = h->wdata;
    return 0;
}

int qelt_gpio_close(qelt_gpio *h)
{
    const qelt::board_lock lock;
    if (h->map != nullptr)
        munmap(h->map, static_cast<size_t>(page_size()));
    h->map = nullptr;
    if (h->fd >= 0)
        close(h->fd);
    h->fd = -1;
    return 0;
}

} // extern "C"

namespace qelt {

gpio_block::gpio_block(std::uint32_t base)
{
    handle_.base = base;
    mapped_ = qelt_gpio_open(&handle_) == 0;
}

gpio_block::~gpio_block()
{
    if (mapped_)
        qelt_gpio_close(&handle_);
}

std::uint32_t gpio_block::read(std::uint32_t offset)
{
    handle_.offset = offset;
    qelt_gpio_read(&handle_);
    return handle_.rdata;
}

void gpio_block::write(std::uint32_t offset, std::uint32_t value)
{
    handle_.offset = offset;
    handle_.wdata = value;
    qelt_gpio_write(&handle_);
}

bool select_slice(std::uint8_t slice)
{
    gpio_block block(map::select::base);
    if (!block.ok())
        return false;
    block.write(map::select::reg, 1u << slice);
    return true;
}

namespace {

constexpr std::uint8_t led_count = 2;

// Read-modify-write of one LED bit; numbers other than 0 and 1 do nothing.
template <typename Change> int change_led(std::uint8_t led, Change change)
{
    if (led >= led_count)
        return 0;
    gpio_block block(map::control::base);
    if (!block.ok())
        return 1;
    const std::uint32_t reg = block.read(map::control::reg);
    block.write(map::control::reg, change(reg, 1u << led));
    return 0;
}

} // namespace
} // namespace qelt

using namespace qelt;

extern "C" {

uint32_t qelt_framecount_readback(void)
{
    const board_lock lock;
    // As every block operation, an unreachable block gives 1 (already
    // reported): there is no separate failure result to give.
    gpio_block block(map::framesync::base);
    if (!block.ok())
        return 1;
    const std::uint32_t count = block.read(map::framesync::counter);
    log_info(QELT_HERE, "Framesync Counter Readback = %d\\n", count);
    return count;
}

int qelt_framesync_delay(uint32_t value)
{
    const board_lock lock;
    gpio_block block(map::framesync::base);
    if (!block.ok())
        return 1;
    const std::uint32_t count = block.read(map::framesync::counter);
    log_info(QELT_HERE, "Framesync Counter Readback = %d\\n", count);
    if (count < value) {
        log_error(QELT_HERE, "Framesync Delay value %d should be less than %d\\n", value, count);
        return 1;
    }
    block.write(map::framesync::delay, value);
    log_info(QELT_HERE, "Framesync Delay value %d write success!\\n", value);
    return 0;
}

int qelt_fb_switch(qelt_slice * /*table*/, uint8_t gui, uint8_t adc8, uint8_t adc9)
{
    const board_lock lock;
    log_info(QELT_HERE, "FB Switch Inputs : GUI Control = %d, ADC8 = port%d, ADC9 = port%d\\n", gui, adc8,
             adc9);
    gpio_block block(map::control::base);
    if (!block.ok())
        return 1;
    const std::uint32_t reg = block.read(map::control::reg);
    block.write(map::control::reg, convert::fb_switch_register(reg, gui, adc8, adc9));
    return 0;
}

int qelt_slgpio_swmatrix(qelt_slice * /*table*/, uint8_t slice, uint8_t gpio, uint8_t type, uint8_t value)
{
    const board_lock lock;
    if (!slice_index_ok(QELT_HERE, slice))
        return 1;
    if (type > 2) {
        log_error(QELT_HERE, "GPIO Type %d is not in range(0/1/2)!!\\n", type);
        return 1;
    }
    if (gpio > 7) {
        log_error(QELT_HERE, "GPIO %d is not in range(0..7)!!\\n", gpio);
        return 1;
    }
    {
        gpio_block block(map::matrix::base);
        if (!block.ok())
            return 1;
        const std::uint32_t offset = map::matrix::offset(slice);
        const std::uint32_t reg = block.read(offset);
        block.write(offset, convert::swmatrix_register(reg, gpio, type, value));
    }
    log_info(QELT_HERE, "Slice %d , GPIO %d is configured as type %d value %d successfully !!\\n", slice,
             gpio, type, value);
    return 0;
}

int qelt_led_status(uint8_t led)
{
    const board_lock lock;
    if (led >= led_count)
        return 0;
    gpio_block block(map::control::base);
    if (!block.ok())
        return 1; // as every block operation; already reported
    return static_cast<int>((block.read(map::control::reg) >> led) & 1u);
}

int qelt_led_set(uint8_t led)
{
    const board_lock lock;
    return change_led(led, [](std::uint32_t reg, std::uint32_t bit) { return reg | bit; });
}

int qelt_led_clear(uint8_t led)
{
    const board_lock lock;
    return change_led(led, [](std::uint32_t reg, std::uint32_t bit) { return reg & ~bit; });
}

int qelt_led_toggle(uint8_t led)
{
    const board_lock lock;
    return change_led(led, [](std::uint32_t reg, std::uint32_t bit) { return reg ^ bit; });
}

} // extern "C"
