// The glibc floor of the shipped binaries: included ahead of every source of the module and of the
// session recorder (-include, from CMakeLists.txt) when a wheel may be built, so that what they
// import from the C library binds to the symbol versions of glibc 2.17, the floor of the
// manylinux2014 tag, whatever glibc builds them.
//
// A newer glibc gives some functions a new default version, which a binary linked against it
// then needs: dlopen, dlsym and dlerror moved into libc in 2.34 (GLIBC_2.34), as did the thread
// functions of libpthread; stat, fstat and lstat became functions of their own in 2.33 (before,
// they were inline calls of __xstat and its kin); quick_exit has had a second version since 2.24.
// The old versions are all still there in every later glibc, so binding to them loses nothing on a
// new system and lets the same binary load on an old one. The recorder lists libdl.so.2 and
// libpthread.so.0 as needed (CMakeLists.txt), where those old versions live on a glibc before 2.34.
#pragma once
#if defined(__x86_64__) && defined(__linux__)
#  include <features.h>
#  if defined(__GLIBC__) && !defined(CSDK_NO_GLIBC_FLOOR)
#    define CSDK_GLIBC_SYMVER(name, version) __asm__(".symver " #name "," #name "@" #version)

#    if __GLIBC_PREREQ(2, 34)
CSDK_GLIBC_SYMVER(dlopen, GLIBC_2.2.5);
CSDK_GLIBC_SYMVER(dlsym, GLIBC_2.2.5);
CSDK_GLIBC_SYMVER(dlerror, GLIBC_2.2.5);
CSDK_GLIBC_SYMVER(dlclose, GLIBC_2.2.5);
CSDK_GLIBC_SYMVER(dladdr, GLIBC_2.2.5);
CSDK_GLIBC_SYMVER(pthread_create, GLIBC_2.2.5);
CSDK_GLIBC_SYMVER(pthread_join, GLIBC_2.2.5);
CSDK_GLIBC_SYMVER(pthread_detach, GLIBC_2.2.5);
CSDK_GLIBC_SYMVER(pthread_once, GLIBC_2.2.5);
CSDK_GLIBC_SYMVER(pthread_key_create, GLIBC_2.2.5);
CSDK_GLIBC_SYMVER(pthread_key_delete, GLIBC_2.2.5);
CSDK_GLIBC_SYMVER(pthread_getspecific, GLIBC_2.2.5);
CSDK_GLIBC_SYMVER(pthread_setspecific, GLIBC_2.2.5);
CSDK_GLIBC_SYMVER(pthread_sigmask, GLIBC_2.2.5);
CSDK_GLIBC_SYMVER(pthread_kill, GLIBC_2.2.5);
#    endif

// With 64-bit file offsets (Python.h asks for them) fcntl is fcntl64, new in 2.28; on x86_64 it
// is the very same call as the old fcntl.
#    if __GLIBC_PREREQ(2, 28)
__asm__(".symver fcntl64,fcntl@GLIBC_2.2.5");
#    endif

// quick_exit@GLIBC_2.10 runs the thread_local destructors of the calling thread, which the
// GLIBC_2.24 version no longer does; nothing the module exits through has any.
#    if __GLIBC_PREREQ(2, 24)
CSDK_GLIBC_SYMVER(quick_exit, GLIBC_2.10);
#    endif

// stat and its kin as the glibc before 2.33 made them: calls of __xstat, __fxstat and __lxstat
// with the structure's version (1 on x86_64), local to the binary.
#    if __GLIBC_PREREQ(2, 33)
#      include <sys/stat.h>
#      ifdef __cplusplus
extern "C" {
#        define CSDK_NOEXCEPT noexcept
#      else
#        define CSDK_NOEXCEPT
#      endif
CSDK_GLIBC_SYMVER(__xstat, GLIBC_2.2.5);
CSDK_GLIBC_SYMVER(__fxstat, GLIBC_2.2.5);
CSDK_GLIBC_SYMVER(__lxstat, GLIBC_2.2.5);
int __xstat(int, const char*, struct stat*) CSDK_NOEXCEPT;
int __fxstat(int, int, struct stat*) CSDK_NOEXCEPT;
int __lxstat(int, const char*, struct stat*) CSDK_NOEXCEPT;
__attribute__((visibility("hidden"))) inline int stat(const char* path, struct stat* buf) CSDK_NOEXCEPT {
    return __xstat(1, path, buf);
}
__attribute__((visibility("hidden"))) inline int fstat(int fd, struct stat* buf) CSDK_NOEXCEPT {
    return __fxstat(1, fd, buf);
}
__attribute__((visibility("hidden"))) inline int lstat(const char* path, struct stat* buf) CSDK_NOEXCEPT {
    return __lxstat(1, path, buf);
}
#      undef CSDK_NOEXCEPT
#      ifdef __cplusplus
}
#      endif
#    endif
#    undef CSDK_GLIBC_SYMVER
#  endif
#endif
