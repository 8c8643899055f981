#pragma once
// A descriptor held in a member or a local, closed once.

#include <unistd.h>

// Closes `fd` when it is open and marks it closed (-1), so that a second
// call never closes a number the system has handed out again since.
inline void kvr_close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}
