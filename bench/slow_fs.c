/* A passthrough file system that waits a fixed time in every operation:
 * what a copy onto or from a network share meets, where each create, open,
 * set-times and close is a round trip. Native and multi-threaded, so that
 * requests sent at once wait at once and the server's own work never is
 * what a threaded copy waits for.
 *
 *     slow_fs BACKING MOUNTPOINT DELAY_US [fuse options]
 *
 * Runs in the foreground until unmounted (fusermount -u MOUNTPOINT).
 *
 * The wait is per request of the kernel: a request that makes an entry
 * (create, mkdir, mknod, link, symlink) or sets attributes (chmod, chown,
 * utimens, truncate) is followed by a getattr for the attributes it returns;
 * that getattr is part of the same round trip and waits no more, as a
 * share's answer carries the attributes. */
#define FUSE_USE_VERSION 26
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

static int backing = -1;
static long delay_us = 1000;
static __thread int answered_with_attributes;

static void round_trip(void) {
  struct timespec wait = {delay_us / 1000000, (delay_us % 1000000) * 1000};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

/* Every operation starts here; `makes` says whether its answer carries
 * attributes, which the getattr after it then takes without a wait. */
static void request(int is_getattr, int makes) {
  if (!(is_getattr && answered_with_attributes)) round_trip();
  answered_with_attributes = makes;
}

/* Paths below the backing directory, relative to its descriptor. */
static const char *rel(const char *path) { return path[1] ? path + 1 : "."; }

static int result(int r) { return r < 0 ? -errno : 0; }

static int fs_getattr(const char *path, struct stat *st) {
  request(1, 0);
  return result(fstatat(backing, rel(path), st, AT_SYMLINK_NOFOLLOW));
}

static int fs_fgetattr(const char *path, struct stat *st, struct fuse_file_info *fi) {
  (void)path;
  request(1, 0);
  return result(fstat((int)fi->fh, st));
}

static int fs_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t offset,
                      struct fuse_file_info *fi) {
  (void)offset;
  (void)fi;
  request(0, 0);
  int fd = openat(backing, rel(path), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return -errno;
  DIR *dir = fdopendir(fd);
  if (dir == NULL) {
    close(fd);
    return -errno;
  }
  for (struct dirent *entry; (entry = readdir(dir)) != NULL;) {
    if (fill(buf, entry->d_name, NULL, 0)) break;
  }
  closedir(dir);
  return 0;
}

static int fs_access(const char *path, int mode) {
  request(0, 0);
  return result(faccessat(backing, rel(path), mode, AT_SYMLINK_NOFOLLOW));
}

static int fs_statfs(const char *path, struct statvfs *st) {
  (void)path;
  request(0, 0);
  return result(fstatvfs(backing, st));
}

static int fs_open(const char *path, struct fuse_file_info *fi) {
  request(0, 0);
  int fd = openat(backing, rel(path), fi->flags);
  if (fd < 0) return -errno;
  fi->fh = (uint64_t)fd;
  return 0;
}

static int fs_create(const char *path, mode_t mode, struct fuse_file_info *fi) {
  request(0, 1);
  int fd = openat(backing, rel(path), fi->flags | O_CREAT, mode);
  if (fd < 0) return -errno;
  fi->fh = (uint64_t)fd;
  return 0;
}

static int fs_read(const char *path, char *buf, size_t size, off_t offset,
                   struct fuse_file_info *fi) {
  (void)path;
  request(0, 0);
  ssize_t got = pread((int)fi->fh, buf, size, offset);
  return got < 0 ? -errno : (int)got;
}

static int fs_write(const char *path, const char *buf, size_t size, off_t offset,
                    struct fuse_file_info *fi) {
  (void)path;
  request(0, 0);
  ssize_t put = pwrite((int)fi->fh, buf, size, offset);
  return put < 0 ? -errno : (int)put;
}

static int fs_truncate(const char *path, off_t length) {
  request(0, 1);
  int fd = openat(backing, rel(path), O_WRONLY);
  if (fd < 0) return -errno;
  int r = ftruncate(fd, length);
  int error = errno;
  close(fd);
  return r < 0 ? -error : 0;
}

static int fs_ftruncate(const char *path, off_t length, struct fuse_file_info *fi) {
  (void)path;
  request(0, 1);
  return result(ftruncate((int)fi->fh, length));
}

static int fs_flush(const char *path, struct fuse_file_info *fi) {
  (void)path;
  (void)fi;
  request(0, 0);
  return 0;
}

static int fs_fsync(const char *path, int datasync, struct fuse_file_info *fi) {
  (void)path;
  request(0, 0);
  return result(datasync ? fdatasync((int)fi->fh) : fsync((int)fi->fh));
}

static int fs_release(const char *path, struct fuse_file_info *fi) {
  (void)path;
  request(0, 0);
  close((int)fi->fh);
  return 0;
}

static int fs_mkdir(const char *path, mode_t mode) {
  request(0, 1);
  return result(mkdirat(backing, rel(path), mode));
}

static int fs_rmdir(const char *path) {
  request(0, 0);
  return result(unlinkat(backing, rel(path), AT_REMOVEDIR));
}

static int fs_unlink(const char *path) {
  request(0, 0);
  return result(unlinkat(backing, rel(path), 0));
}

static int fs_rename(const char *from, const char *to) {
  request(0, 0);
  return result(renameat(backing, rel(from), backing, rel(to)));
}

static int fs_link(const char *from, const char *to) {
  request(0, 1);
  return result(linkat(backing, rel(from), backing, rel(to), 0));
}

static int fs_symlink(const char *target, const char *path) {
  request(0, 1);
  return result(symlinkat(target, backing, rel(path)));
}

static int fs_readlink(const char *path, char *buf, size_t size) {
  request(0, 0);
  ssize_t got = readlinkat(backing, rel(path), buf, size - 1);
  if (got < 0) return -errno;
  buf[got] = '\0';
  return 0;
}

static int fs_mknod(const char *path, mode_t mode, dev_t dev) {
  request(0, 1);
  return result(mknodat(backing, rel(path), mode, dev));
}

static int fs_chmod(const char *path, mode_t mode) {
  request(0, 1);
  return result(fchmodat(backing, rel(path), mode, 0));
}

static int fs_chown(const char *path, uid_t uid, gid_t gid) {
  request(0, 1);
  return result(fchownat(backing, rel(path), uid, gid, AT_SYMLINK_NOFOLLOW));
}

static int fs_utimens(const char *path, const struct timespec times[2]) {
  request(0, 1);
  return result(utimensat(backing, rel(path), times, AT_SYMLINK_NOFOLLOW));
}

/* Extended attributes through /proc, as the *at calls have no xattr forms;
 * a link's own, never its target's. */
static void proc_path(char *out, size_t size, const char *path) {
  snprintf(out, size, "/proc/self/fd/%d/%s", backing, rel(path));
}

static int fs_getxattr(const char *path, const char *name, char *value, size_t size) {
  request(0, 0);
  char full[PATH_MAX];
  proc_path(full, sizeof full, path);
  ssize_t got = lgetxattr(full, name, value, size);
  return got < 0 ? -errno : (int)got;
}

static int fs_listxattr(const char *path, char *list, size_t size) {
  request(0, 0);
  char full[PATH_MAX];
  proc_path(full, sizeof full, path);
  ssize_t got = llistxattr(full, list, size);
  return got < 0 ? -errno : (int)got;
}

static int fs_setxattr(const char *path, const char *name, const char *value, size_t size,
                       int flags) {
  request(0, 0);
  char full[PATH_MAX];
  proc_path(full, sizeof full, path);
  return result(lsetxattr(full, name, value, size, flags));
}

static int fs_removexattr(const char *path, const char *name) {
  request(0, 0);
  char full[PATH_MAX];
  proc_path(full, sizeof full, path);
  return result(lremovexattr(full, name));
}

static const struct fuse_operations operations = {
    .getattr = fs_getattr,
    .fgetattr = fs_fgetattr,
    .readdir = fs_readdir,
    .access = fs_access,
    .statfs = fs_statfs,
    .open = fs_open,
    .create = fs_create,
    .read = fs_read,
    .write = fs_write,
    .truncate = fs_truncate,
    .ftruncate = fs_ftruncate,
    .flush = fs_flush,
    .fsync = fs_fsync,
    .release = fs_release,
    .mkdir = fs_mkdir,
    .rmdir = fs_rmdir,
    .unlink = fs_unlink,
    .rename = fs_rename,
    .link = fs_link,
    .symlink = fs_symlink,
    .readlink = fs_readlink,
    .mknod = fs_mknod,
    .chmod = fs_chmod,
    .chown = fs_chown,
    .utimens = fs_utimens,
    .getxattr = fs_getxattr,
    .listxattr = fs_listxattr,
    .setxattr = fs_setxattr,
    .removexattr = fs_removexattr,
    .flag_nullpath_ok = 0,
};

int main(int argc, char *argv[]) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s BACKING MOUNTPOINT DELAY_US [fuse options]\n", argv[0]);
    return 2;
  }
  backing = open(argv[1], O_RDONLY | O_DIRECTORY);
  if (backing < 0) {
    perror(argv[1]);
    return 1;
  }
  delay_us = atol(argv[3]);
  /* Foreground, multi-threaded; a file removed while open is removed, as
   * on a share, not renamed to a hidden name until closed. */
  char *fuse_argv[32] = {argv[0], argv[2], "-f", "-o", "hard_remove"};
  int fuse_argc = 5;
  for (int i = 4; i < argc && fuse_argc < 31; ++i) fuse_argv[fuse_argc++] = argv[i];
  umask(0);
  return fuse_main(fuse_argc, fuse_argv, &operations, NULL);
}
