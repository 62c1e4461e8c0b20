#pragma once
// Open files handed from one layer to another by descriptor: a duplicate that outlives the
// giver's own, and reads at an offset that leave the file's position alone.

#include <cstddef>
#include <cstdint>

namespace platform {

// A second descriptor for the open file `fd` (closed on exec), or -1.
int DuplicateFile(int fd);
void CloseFile(int fd);
// Up to `count` bytes of `fd` from `offset`: how many were read, 0 at the end, -1 on an error.
long ReadFileAt(int fd, char* buffer, std::size_t count, std::int64_t offset);

}  // namespace platform
