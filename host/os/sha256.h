// sha256.h - SHA-256 of a byte range (for the hand-over record).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace host {

// Lower-case hex digest.
std::string sha256Hex(const uint8_t* data, size_t len);

} // namespace host
