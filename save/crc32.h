// CRC-32 of the save sections: the reflected ISO-HDLC / IEEE 802.3 code (polynomial 0xEDB88320,
// initial value and final XOR 0xFFFFFFFF), the one zlib and PNG use.
#pragma once

#include <cstdint>
#include <string_view>

// Returns the CRC-32 of `bytes`; 0 for no bytes. Saves store its complement.
uint32_t crc32(std::string_view bytes);
