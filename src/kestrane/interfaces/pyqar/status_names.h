#pragma once
// Readable names of OPC UA status codes, for logs and displays. Pure functions; any thread.

#include <cstdint>
#include <string>

namespace pyqar {

// "BadSensorFailure" for a code the library knows (the info bits of the low 16 bits are left
// out of the lookup, so a Good value with the overflow bit is still "Good"), else the code in
// hex, "0x80AB0000".
std::string status_name(std::uint32_t code);

}  // namespace pyqar
