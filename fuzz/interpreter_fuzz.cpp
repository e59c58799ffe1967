// The text interpreter on arbitrary command lines against the simulated
// board, entered as the decoder enters it: a zero-terminated text of at
// most the request buffer's size and a reply buffer of the same size. The
// board and the server's state carry over from one line to the next, as
// they do over a connection.
#include "fuzz_board.h"
#include "interpreter.h"
#include "word_protocol.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace {

char request[text_capacity];
char reply[text_capacity];

// What the decoder sends back: one text inside the reply buffer, and one
// of the three kinds of reply a client can expect.
bool sound_reply()
{
    if (std::memchr(reply, '\0', sizeof reply) == nullptr)
        return false;
    const std::string_view text(reply);
    return text == " " || text.starts_with("cmd_status ") || text.starts_with("echo: ");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qelt_fuzz::set_up_board();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::size_t n = std::min(size, sizeof request - 1);
    std::memcpy(request, data, n);
    request[n] = '\0';
    process_command(request, reply, sizeof reply);
    if (!sound_reply())
        __builtin_trap();
    return 0;
}
