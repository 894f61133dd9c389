// Whole-file reads and atomic writes.
//
// Every file the tool writes goes to a temporary file in the same folder, is
// flushed to the disk and then renamed over the target, so that a failure
// never leaves a half-written file and never destroys the previous one. The
// temporary is written without a name (O_TMPFILE) and named "<target>.tmpXXXXXX"
// only when complete, just before the rename; a process killed between those
// two steps leaves that complete temporary, and the next write of the same
// target removes it. Where the file system has no unnamed files, the
// temporary is named from the start.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Reads the whole file into bytes. False, with a message that names the file,
// when it cannot be opened or read, or is larger than maxBytes (then *tooLarge
// is set when given).
bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& error,
                   std::size_t maxBytes = 16u * 1024u * 1024u, bool* tooLarge = nullptr);

// Writes bytes to path atomically. A symbolic link at path is followed, so the
// link stays and its target is replaced. An existing file keeps its permission
// bits. The file and the rename are synced to the disk. False, with the
// message "Ошибка создания файла <path>: <reason>", when anything fails; the
// previous file is then untouched and no temporary file is left.
bool WriteFileAtomic(const std::string& path, std::string_view bytes, std::string& error);
