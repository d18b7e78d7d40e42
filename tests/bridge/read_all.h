// Everything written to a file so far, read with pread: a child process may
// share the file's offset while it writes.
#pragma once

#include <unistd.h>

#include <string>

inline std::string readAllOf(int fd) {
    std::string text;
    char chunk[4096];
    ssize_t got;
    while ((got = pread(fd, chunk, sizeof chunk, static_cast<off_t>(text.size()))) > 0)
        text.append(chunk, static_cast<size_t>(got));
    return text;
}
