#include "board_file.h"

#include "models.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace qsim {

std::string default_board_path()
{
    const char *env = std::getenv("QELT_SIM_BOARD");
    return env != nullptr && *env != '\0' ? env : "qelt-sim.board";
}

std::int64_t window_offset(std::uint64_t phys)
{
    for (int i = 0; i < region_count; ++i) {
        if (phys >= regions[i].phys && phys - regions[i].phys < window_size)
            return std::int64_t{i} * window_size + static_cast<std::int64_t>(phys - regions[i].phys);
    }
    return -1;
}

std::uint32_t *register_word(board_file_layout &f, std::int64_t at)
{
    return reinterpret_cast<std::uint32_t *>(&f.windows[at / window_size][at % window_size]);
}

std::uint32_t *register_at(board_file_layout &f, region r, std::uint32_t offset)
{
    return reinterpret_cast<std::uint32_t *>(&f.windows[static_cast<int>(r)][offset]);
}

board_map::board_map(const std::string &path) : board_map(path, O_RDWR)
{
    if (file_->state.magic != board_magic || file_->state.version != board_version)
        throw std::runtime_error(path + " is not a simulated board");
}

board_map::board_map(const std::string &path, int flags) : path_(path)
{
    fd_ = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
    if (fd_ < 0)
        throw std::runtime_error("cannot open board " + path + ": " + std::strerror(errno));
    struct stat st {};
    if ((flags & O_CREAT) && ftruncate(fd_, sizeof(board_file_layout)) != 0) {
        ::close(fd_);
        throw std::runtime_error("cannot size board " + path + ": " + std::strerror(errno));
    }
    if (fstat(fd_, &st) != 0 || static_cast<std::size_t>(st.st_size) < sizeof(board_file_layout)) {
        ::close(fd_);
        throw std::runtime_error(path + " is not a simulated board");
    }
    void *m = mmap(nullptr, sizeof(board_file_layout), PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (m == MAP_FAILED) {
        ::close(fd_);
        throw std::runtime_error("cannot map board " + path + ": " + std::strerror(errno));
    }
    file_ = static_cast<board_file_layout *>(m);
}

board_map board_map::create(const std::string &path, std::uint16_t fitted_mask)
{
    board_map m(path, O_RDWR | O_CREAT);
    board &b = m.state();
    if (b.magic == board_magic && b.version == board_version) {
        // Re-initialise in place: programs that mapped it keep a valid view.
        board_lock hold(b);
        reset(m.file(), fitted_mask);
        return m;
    }
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&b.lock, &attr);
    pthread_mutexattr_destroy(&attr);
    {
        board_lock hold(b);
        reset(m.file(), fitted_mask);
    }
    b.version = board_version;
    b.magic = board_magic;
    return m;
}

board_map::board_map(board_map &&other) noexcept
    : path_(std::move(other.path_)), fd_(other.fd_), file_(other.file_)
{
    other.fd_ = -1;
    other.file_ = nullptr;
}

board_map::~board_map()
{
    if (file_ != nullptr)
        munmap(file_, sizeof(board_file_layout));
    if (fd_ >= 0)
        ::close(fd_);
}

board_lock::board_lock(board &b) : b_(b)
{
    if (pthread_mutex_lock(&b_.lock) == EOWNERDEAD)
        pthread_mutex_consistent(&b_.lock);
}

board_lock::~board_lock() { pthread_mutex_unlock(&b_.lock); }

} // namespace qsim
