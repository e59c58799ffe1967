#include "command_args.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace {

const char *skip_blanks(const char *p)
{
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    return p;
}

} // namespace

command_args::command_args(const char *request) : pos_(skip_blanks(request))
{
    while (*pos_ != '\0' && !std::isspace(static_cast<unsigned char>(*pos_)))
        ++pos_;
}

bool command_args::next_whole(long long &value, arg_range range)
{
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(pos_, &end, 10);
    if (end == pos_ || errno == ERANGE || v < range.lo || v > range.hi)
        return false;
    value = v;
    pos_ = end;
    return true;
}

bool command_args::real(float &value)
{
    char *end = nullptr;
    const float v = std::strtof(pos_, &end);
    if (end == pos_)
        return false;
    value = v;
    pos_ = end;
    return true;
}

const char *command_args::rest() const { return skip_blanks(pos_); }
