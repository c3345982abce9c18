#pragma once
// Files the gateway writes, made so that a link planted in their place cannot
// redirect them and a crash never leaves half a file where a whole one was:
// replaced files go through a private temporary file in the same folder,
// appended files refuse to follow a link. Both are created with mode 0640
// (less if the umask says so).

#include <string>

namespace smdgw {

constexpr unsigned kCreatedFileMode = 0640;

// Writes all n bytes, again after a short write or EINTR; false on error (errno set).
bool write_all(int fd, const char* data, size_t n);

// Writes text to a temporary file made with mkstemp beside path, syncs it,
// renames it over path and syncs the folder. On failure returns false with
// the reason in error (naming the file) and leaves path as it was. A path
// that is there but is neither a regular file nor a link (a device, a pipe)
// is refused.
bool replace_file(const std::string& path, const std::string& text, std::string& error);

// Opens path for appending, creating it when missing; refuses a symbolic
// link (O_NOFOLLOW). Returns the descriptor (close-on-exec), or -1 with the
// reason in error (naming the file).
int open_append(const std::string& path, std::string& error);

// Makes path ready for SQLite (which would create it 0644 and follow a link;
// its -wal and -shm files take the database file's mode): creates it with
// the gateway's mode when missing; refuses a symbolic link in its place, a
// file that is not regular or one that belongs to another user; takes from an
// existing file any permission beyond 0640. Links in the folders above are
// followed (a service's state folder may be one). False with the reason in
// error, naming the file.
bool prepare_database_file(const std::string& path, std::string& error);

}  // namespace smdgw
