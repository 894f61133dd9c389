#include "AtomicFile.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string SystemText(int err)
{
    return std::strerror(err);
}

// The file a write to path really replaces: the final target of a symbolic
// link (which may not exist yet), or path itself.
std::string WriteTarget(const std::string& path)
{
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st{};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        char buf[PATH_MAX];
        ssize_t n = ::readlink(current.c_str(), buf, sizeof buf - 1);
        if (n < 0) return current;
        std::string link(buf, static_cast<size_t>(n));
        if (!link.empty() && link[0] == '/') {
            current = link;
        } else {
            auto slash = current.rfind('/');
            current = (slash == std::string::npos ? std::string() : current.substr(0, slash + 1)) + link;
        }
    }
    return current;
}

} // namespace

bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& error, std::size_t maxBytes,
                   bool* tooLarge)
{
    if (tooLarge) *tooLarge = false;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "Ошибка открытия файла " + path + ": " + SystemText(errno);
        return false;
    }
    std::string data;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            ::close(fd);
            error = "Ошибка чтения файла " + path + ": " + SystemText(err);
            return false;
        }
        if (n == 0) break;
        if (data.size() + static_cast<size_t>(n) > maxBytes) {
            ::close(fd);
            if (tooLarge) *tooLarge = true;
            error = "Файл " + path + " слишком велик";
            return false;
        }
        data.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    bytes = std::move(data);
    return true;
}

bool WriteFileAtomic(const std::string& path, std::string_view bytes, std::string& error)
{
    const std::string target = WriteTarget(path);
    std::string temp = target + ".tmpXXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "Ошибка создания файла " + path + ": " + SystemText(errno);
        return false;
    }
    auto fail = [&](int err) {
        ::close(fd);
        ::unlink(temp.c_str());
        error = "Ошибка создания файла " + path + ": " + SystemText(err);
        return false;
    };
    struct stat st{};
    if (::stat(target.c_str(), &st) == 0)
        (void)::fchmod(fd, st.st_mode & 07777);
    else
        (void)::fchmod(fd, 0666 & ~[] { mode_t m = ::umask(0); ::umask(m); return m; }());

    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(errno);
        if (n == 0) return fail(EIO);
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) return fail(errno);
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        error = "Ошибка создания файла " + path + ": " + SystemText(err);
        return false;
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        error = "Ошибка создания файла " + path + ": " + SystemText(err);
        return false;
    }
    // Make the rename itself durable.
    auto slash = target.rfind('/');
    std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
    int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        (void)::fsync(dfd);
        ::close(dfd);
    }
    return true;
}
