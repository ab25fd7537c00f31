#include "shmhold.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

bool same_file(const struct stat &a, const struct stat &b) noexcept
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

int shm_hold(int fd, const char *name) noexcept
{
    if (flock(fd, LOCK_SH | LOCK_NB) != 0) return errno;
    // A sweep that locked and removed the object before this lock leaves
    // the name free or given to a new object: this one is then no longer
    // reachable by name and must not be used as if it were.
    char path[sizeof(SHM_DIR) + 256];
    if (size_t(snprintf(path, sizeof(path), "%s%s", SHM_DIR, name)) >= sizeof(path))
        return ENAMETOOLONG;
    struct stat mine, named;
    if (fstat(fd, &mine) != 0) return errno;
    if (lstat(path, &named) != 0) return errno;
    return same_file(mine, named) ? 0 : ESTALE;
}

int shm_remove_unheld(int dfd, const char *name, uid_t owner, struct stat *st) noexcept
{
    const int fd = openat(dfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat mine, named;
    int err = 0;
    if (fstat(fd, &mine) != 0)
        err = errno;
    else if (!S_ISREG(mine.st_mode) || mine.st_uid != owner)
        err = EPERM;
    else if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        err = errno == EWOULDBLOCK ? EBUSY : errno;
    // Under the exclusive lock nobody can take the object up; the name must
    // still be this object's, or the unlink would remove another one.
    else if (fstatat(dfd, name, &named, AT_SYMLINK_NOFOLLOW) != 0)
        err = errno;
    else if (!same_file(mine, named))
        err = ESTALE;
    else if (unlinkat(dfd, name, 0) != 0)
        err = errno;
    close(fd);
    if (err == 0 && st) *st = mine;
    return err;
}
