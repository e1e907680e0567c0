#include "Checkedfiles.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

bool Fail(std::string* error, const std::string& path, const std::string& reason) {
  if (error) *error = path + ": " + reason;
  return false;
}

std::string Reason(int error) {
  return std::strerror(error);
}

// What a file that is no regular file is, in the user's words.
std::string KindRefused(mode_t mode, const char* what) {
  if (S_ISDIR(mode)) return std::string("is a folder, not ") + what;
  if (S_ISFIFO(mode)) return "is not a regular file but a pipe (FIFO)";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "is not a regular file but a device";
  if (S_ISSOCK(mode)) return "is not a regular file but a socket";
  return "is not a regular file";
}

// Writes all of bytes to fd; false with errno set.
bool WriteAll(int fd, std::string_view bytes) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t w = write(fd, p, left);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    left -= static_cast<size_t>(w);
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string ByteLimitText(int64_t bytes) {
  const char* const units[] = {"bytes", "kB", "MB", "GB", "TB"};
  int unit = 0;
  while (unit < 4 && bytes >= 1024 && bytes % 1024 == 0) {
    bytes /= 1024;
    ++unit;
  }
  return std::to_string(bytes) + " " + units[unit];
}

int OpenRegularFile(const std::string& path, int64_t maxBytes, const char* what,
                    std::string* error) {
  if (path.empty()) return Fail(error, path, "no file name given"), -1;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    const int e = errno;
    // A folder opens on Linux; other systems say EISDIR.
    return Fail(error, path, e == EISDIR ? KindRefused(S_IFDIR, what) : Reason(e)), -1;
  }
  struct stat st {};
  std::string reason;
  if (fstat(fd, &st) != 0)
    reason = Reason(errno);
  else if (!S_ISREG(st.st_mode))
    reason = KindRefused(st.st_mode, what);
  else if (st.st_size > maxBytes)
    reason = "is larger than " + ByteLimitText(maxBytes) + ", the most " + what + " may be";
  if (reason.empty()) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) reason = Reason(errno);
  }
  if (!reason.empty()) {
    close(fd);
    return Fail(error, path, reason), -1;
  }
  return fd;
}

bool ReadRegularFile(const std::string& path, int64_t maxBytes, const char* what, std::string* text,
                     std::string* error) {
  text->clear();
  const int fd = OpenRegularFile(path, maxBytes, what, error);
  if (fd < 0) return false;
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      const int e = errno;
      close(fd);
      text->clear();
      return Fail(error, path, Reason(e));
    }
    if (got == 0) break;
    if (static_cast<int64_t>(text->size()) + got > maxBytes) {
      close(fd);
      text->clear();
      return Fail(error, path,
                  "is larger than " + ByteLimitText(maxBytes) + ", the most " + what + " may be");
    }
    text->append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return true;
}

bool WriteFileWhole(const std::string& path, std::string_view bytes, std::string* error) {
  if (path.empty()) return Fail(error, path, "no file name given");
  // Follow a link to the file it names, so that the link stays and its target is replaced.
  std::string target = path;
  struct stat st {};
  const bool exists = stat(path.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return Fail(error, path, Reason(EISDIR));
  if (exists && !S_ISREG(st.st_mode)) {
    // A device or a pipe: nothing to replace and no part of a file to leave behind.
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return Fail(error, path, Reason(errno));
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    const bool ok = WriteAll(fd, bytes);
    const int writeError = errno;
    if (close(fd) != 0 && ok) return Fail(error, path, Reason(errno));
    if (!ok) return Fail(error, path, Reason(writeError));
    return true;
  }
  if (exists) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved)) target = resolved;
  }
  // The new file gets the old one's permissions, or those a plain create would give.
  mode_t mode = 0666;
  if (exists) {
    mode = st.st_mode & 07777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode &= ~mask;
  }
  const size_t slash = target.find_last_of('/');
  const size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
  std::string temp = target.substr(0, nameAt);
  temp.append(".").append(target, nameAt).append(".XXXXXX");
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    struct stat dir {};
    if (e == ENOENT && stat(DirectoryOf(target).c_str(), &dir) != 0)
      return Fail(error, path, "the folder does not exist");
    return Fail(error, path, Reason(e));
  }
  bool ok = WriteAll(fd, bytes) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
  int e = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    e = errno;
  }
  if (ok && rename(temp.c_str(), target.c_str()) != 0) {
    ok = false;
    e = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    return Fail(error, path, Reason(e));
  }
  return true;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  const bool ha = stat(a.c_str(), &sa) == 0, hb = stat(b.c_str(), &sb) == 0;
  if (ha && hb) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  if (ha || hb) return false;
  // Neither is there yet: the same name in the same folder would be written twice.
  if (NameOf(a) != NameOf(b)) return false;
  const std::string da = DirectoryOf(a), db = DirectoryOf(b);
  if (stat(da.c_str(), &sa) != 0 || stat(db.c_str(), &sb) != 0) return da == db;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool IsSpecialFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

std::string OneLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (u < 0x20 || u == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}
