#pragma once
// Writing config.ini whole and at once: a new file beside the old one, renamed over it only
// when complete, so a crash or a full disk never costs the operator the old file. Free
// functions; any thread, one writer per file at a time.

#include <QString>
#include <string>

// Replaces the file at `path` (through a symbolic link, its target) with `text`. A file for the
// owner alone (`owner_only`) is made with mode 0600 from its first byte on, so no other user
// can open it at any time, even half-written; otherwise it keeps the old file's mode (a new one
// gets 0666 less the umask). Throws std::runtime_error "Cannot write <path>: <reason>".
void write_config_file(const QString& path, const std::string& text, bool owner_only);
