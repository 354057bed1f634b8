// persist.h - write-through storage of device contents in the board directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace host {

// Reads the whole file into buf; false unless it exists with exactly len bytes.
bool persistLoad(const std::string& path, uint8_t* buf, size_t len);
// Writes bytes at offset straight into the file (created when missing), so a
// process ending at any moment leaves what was written. Empty path: no file.
bool persistStore(const std::string& path, size_t offset, const uint8_t* data, size_t len);

} // namespace host
