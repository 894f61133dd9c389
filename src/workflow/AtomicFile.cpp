#include "AtomicFile.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

namespace {

constexpr const char* TempMark = ".tmp"; // "<name>.tmp" and six letters or digits
constexpr std::size_t TempTailLength = 6;

bool IsTemporaryOf(const std::string& entry, const std::string& base)
{
    const std::size_t mark = std::char_traits<char>::length(TempMark);
    if (entry.size() != base.size() + mark + TempTailLength) return false;
    if (entry.compare(0, base.size(), base) != 0 || entry.compare(base.size(), mark, TempMark) != 0) return false;
    for (std::size_t i = base.size() + mark; i < entry.size(); ++i)
        if (!std::isalnum(static_cast<unsigned char>(entry[i]))) return false;
    return true;
}

// A save that was killed between naming its complete temporary and renaming it
// over the target leaves that temporary behind (with the named fallback, one
// killed at any point does); the next save of the same target removes it.
void RemoveStaleTemporaries(const std::string& folder, const std::string& base)
{
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    std::vector<std::string> stale;
    while (const dirent* e = ::readdir(dir)) {
        if (IsTemporaryOf(e->d_name, base)) stale.emplace_back(e->d_name);
    }
    const int dfd = ::dirfd(dir);
    for (const std::string& name : stale) {
        struct stat st{};
        if (::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            (void)::unlinkat(dfd, name.c_str(), 0);
    }
    ::closedir(dir);
}

std::string TemporaryName(const std::string& target)
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<int> pick(0, static_cast<int>(sizeof letters) - 2);
    std::string name = target + TempMark;
    for (std::size_t i = 0; i < TempTailLength; ++i) name += letters[pick(random)];
    return name;
}

bool WriteAll(int fd, std::string_view bytes, int& err)
{
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = errno;
            return false;
        }
        if (n == 0) {
            err = EIO;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

// Gives the complete unnamed file fd a fresh temporary name next to target.
// False (errno set) when the system offers no way to link it.
bool LinkUnnamed(int fd, const std::string& target, std::string& temp)
{
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = TemporaryName(target);
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
        if (errno == EEXIST) continue;
        // Without /proc (or where it is closed to this process) the descriptor
        // itself may be linked, where the system allows that.
        if (::linkat(fd, "", AT_FDCWD, temp.c_str(), AT_EMPTY_PATH) == 0) return true;
        if (errno == EEXIST) continue;
        return false;
    }
    errno = EEXIST;
    return false;
}

} // namespace

bool WriteFileAtomic(const std::string& path, std::string_view bytes, std::string& error)
{
    const std::string target = WriteTarget(path);
    const auto slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    auto failed = [&](int err) {
        error = "Ошибка создания файла " + path + ": " + SystemText(err);
        return false;
    };

    mode_t mode = 0;
    struct stat st{};
    if (::stat(target.c_str(), &st) == 0)
        mode = st.st_mode & 07777;
    else
        mode = 0666 & ~[] { mode_t m = ::umask(0); ::umask(m); return m; }();

    RemoveStaleTemporaries(folder, base);

    // The data goes to a file without a name in the target's folder, so that a
    // process killed while writing leaves nothing behind; it gets a temporary
    // name only once it is complete and on the disk, and that name is renamed
    // over the target at once. Where the file system has no unnamed files, a
    // named temporary is written instead.
    std::string temp;
    int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    bool unnamed = fd >= 0;
    if (!unnamed) {
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return failed(errno);
    }
    for (;;) {
        if (!unnamed) {
            temp = target + TempMark + std::string(TempTailLength, 'X');
            fd = ::mkostemp(temp.data(), O_CLOEXEC);
            if (fd < 0) return failed(errno);
        }
        auto fail = [&](int err) {
            ::close(fd);
            if (!temp.empty()) ::unlink(temp.c_str());
            return failed(err);
        };
        (void)::fchmod(fd, mode);
        int err = 0;
        if (!WriteAll(fd, bytes, err)) return fail(err);
        if (::fsync(fd) != 0) return fail(errno);
        if (unnamed && !LinkUnnamed(fd, target, temp)) {
            // No way to name it here: write it again as a named temporary.
            temp.clear();
            ::close(fd);
            unnamed = false;
            continue;
        }
        if (::close(fd) != 0) {
            err = errno;
            ::unlink(temp.c_str());
            return failed(err);
        }
        break;
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        return failed(err);
    }
    // Make the rename itself durable.
    int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        (void)::fsync(dfd);
        ::close(dfd);
    }
    return true;
}
