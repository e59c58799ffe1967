#pragma once

namespace qelt_test {

// Moves the process into a mount namespace of its own (through a user
// namespace when not privileged) and mounts an empty tmpfs on /tmp.
// Ends the process when that is not possible: a test must never fall back
// to the machine's real /tmp.
void isolate_tmp();

} // namespace qelt_test
