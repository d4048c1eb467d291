#pragma once
// What a collector has learned of its OPC UA server's structure types (their definitions), kept
// across reconnects and forgotten when the server restarts: one per collector, handed to each
// source it opens, so that a reconnect does not read the definitions again. One thread at a
// time.

#include <memory>

namespace pyqar {

namespace ua {
class StructureCatalog;
}
using StructureCache = ua::StructureCatalog;

std::shared_ptr<StructureCache> make_structure_cache();

}  // namespace pyqar
